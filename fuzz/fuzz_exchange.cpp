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
    // A destination that refuses past a few bytes stands for a full disk.
    const std::size_t uRefusePast = pData[1] * 97u;
    const std::string reply(reinterpret_cast<const char*>(pData) + 2,
                            uSize - 2 < fuzzpeer::kMaxReply ? uSize - 2 : fuzzpeer::kMaxReply);
    const std::size_t n = reply.size();
    fuzzpeer::PeerScript script;
    script.end = end;
    script.uFirstPiece = n * ((pData[0] >> 2) & 7u) / 8;
    const std::size_t uSlices = 1 + (pData[0] >> 5);
    script.uSlice = (n - script.uFirstPiece + uSlices - 1) / uSlices;

    fuzzpeer::Outcome outcome(uRefusePast);
    fuzzpeer::RunExchange(reply, script, outcome);
    const DownloadResult& r = outcome.result;

    // How much of the whole reply is body, by the split rule.
    std::size_t uSeparator = 0;
    const std::size_t uBlank = fuzzpeer::BlankLine(reply, &uSeparator);
    const std::size_t uTag = reply.find("<__Return__>");
    const std::size_t uBody = uBlank != std::string::npos ? n - uBlank - uSeparator
                              : uTag != std::string::npos ? n - uTag
                                                          : 0;
    const bool bRefused = uRefusePast != 0 && uBody > uRefusePast;

    Require(!outcome.bConnectFailed, "a socket pair never fails to connect");
    Require(uRefusePast == 0 || outcome.body.m_bytes.size() <= uRefusePast, "never more than the destination took");
    if (outcome.bOk) {
        Require(r.pData != nullptr && r.iDataLength > 0, "true comes with data");
        const std::string arrived = fuzzpeer::CheckSplit(outcome, reply);
        if (end != PeerEnd::CloseFirst) Require(arrived.size() == n, "every byte the peer wrote arrived");
    }
    if (end == PeerEnd::CloseFirst) {
        // The request cannot be sent, so the exchange may stop after the
        // first piece; it must still keep that piece.
        if (n > 0 && uRefusePast == 0) Require(outcome.bOk, "a reply before the close is kept");
    } else {
        Require(outcome.bOk == (n > 0 && !bRefused), "true exactly when bytes arrived and the destination took them");
        if (n == 0) Require(r.pData == nullptr && r.iHeaderEnd == 0, "false with nothing leaves the record untouched");
    }
    delete[] r.pData;
    return 0;
}
