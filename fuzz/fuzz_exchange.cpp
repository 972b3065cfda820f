// The whole HTTP exchange against a scripted peer: whatever the server
// sends and however it ends the connection, the result holds exactly the
// bytes that arrived, in order, split consistently, or nothing at all.
//
// Input: one byte for how the peer sends and ends (low two bits; for
// pieces, the next three bits give the share sent before the exchange in
// eighths and the top three the number of later slices less one), one byte
// for a reply limit (0: none), then the reply.
#include "ExchangePeer.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

using fuzzpeer::PeerEnd;
using fuzzpeer::Require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t uSize) {
    if (uSize < 2) return 0;
    const PeerEnd end = static_cast<PeerEnd>(pData[0] % static_cast<unsigned>(PeerEnd::Count));
    // A lowered limit reaches the too-large path with small replies.
    const std::int32_t iLimit = pData[1] == 0 ? 0 : pData[1] * 97;
    const std::string reply(reinterpret_cast<const char*>(pData) + 2,
                            uSize - 2 < fuzzpeer::kMaxReply ? uSize - 2 : fuzzpeer::kMaxReply);
    const std::size_t n = reply.size();
    fuzzpeer::PeerScript script;
    script.end = end;
    script.uFirstPiece = n * ((pData[0] >> 2) & 7u) / 8;
    const std::size_t uSlices = 1 + (pData[0] >> 5);
    script.uSlice = (n - script.uFirstPiece + uSlices - 1) / uSlices;

    HTTPConnection::SetReplyLimitForTesting(iLimit);
    fuzzpeer::Outcome outcome = fuzzpeer::RunExchange(reply, script);
    HTTPConnection::SetReplyLimitForTesting(0);
    const DownloadResult& r = outcome.result;

    Require(!outcome.bConnectFailed, "a socket pair never fails to connect");
    if (!outcome.bOk) {
        Require(r.pData == nullptr && r.iDataLength == 0, "false leaves no data");
        Require(r.pBody == nullptr && r.iBodyLength == 0 && r.iHeaderEnd == 0, "false leaves the record untouched");
    } else {
        Require(r.pData != nullptr && r.iDataLength > 0, "true comes with data");
        Require(static_cast<std::size_t>(r.iDataLength) <= n, "never more bytes than the peer wrote");
        Require(std::memcmp(r.pData, reply.data(), static_cast<std::size_t>(r.iDataLength)) == 0,
                "the data is what the peer wrote, in order");
        Require(iLimit == 0 || r.iDataLength <= iLimit, "never more bytes than the limit");
        fuzzpeer::CheckSplit(r);
    }
    const bool bFits = n > 0 && (iLimit == 0 || n <= static_cast<std::size_t>(iLimit));
    if (end == PeerEnd::CloseFirst) {
        // The request cannot be sent, so the exchange may stop after the
        // first piece; it must still keep that piece.
        if (n > 0 && iLimit == 0) Require(outcome.bOk, "a reply before the close is kept");
    } else {
        Require(outcome.bOk == bFits, "true exactly when bytes arrived and fit the limit");
        if (outcome.bOk) Require(static_cast<std::size_t>(r.iDataLength) == n, "every byte the peer wrote arrived");
    }
    delete[] r.pData;
    return 0;
}
