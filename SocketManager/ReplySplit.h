// The split of an HTTP reply into the header, held in memory, and the
// body, handed to the caller's destination as it arrives. No socket here:
// the exchange feeds it the bytes it received.
#pragma once

#include "SocketManager/DownloadResult.h"

#include <cstddef>
#include <cstdint>
#include <memory>

// The bytes before the body, held once: in one block that grows to 64 KiB,
// then to 1 MiB, then at once to the whole bound (pages never written cost
// no memory), and that becomes the caller's pData without a copy.
class HeaderBuffer {
public:
    const char* Data() const { return m_pBytes.get(); }
    std::size_t Size() const { return m_uSize; }
    // REQUIRES: Size() + uLength <= HTTPConnection::kHeaderLimit.
    void Append(const char* pBytes, std::size_t uLength);
    // Keeps the first uSize (<= Size()) bytes.
    void Truncate(std::size_t uSize) { m_uSize = uSize; }
    void Clear() {
        m_pBytes.reset();
        m_uSize = m_uCapacity = 0;
    }
    // The block, a NUL after its Size() bytes, for the caller to free with
    // delete[]; the buffer is empty afterwards. REQUIRES: Size() > 0.
    char* Release();

private:
    static constexpr std::size_t kSmall = 64 * 1024;
    static constexpr std::size_t kMedium = 1024 * 1024;
    std::unique_ptr<char[]> m_pBytes;
    std::size_t m_uSize = 0;
    std::size_t m_uCapacity = 0;  // bytes the block holds, the spare byte not counted
};

// The first blank line ("\r\n\r\n" or "\n\n", whichever starts first) in
// the iSize bytes of pText at or after iFrom: its index and length, or false.
bool FindBlankLine(const char* pText, std::int32_t iSize, std::int32_t iFrom, std::int32_t* piAt,
                   std::int32_t* piLength);

class ReplySplit {
public:
    // What taking received bytes leads to.
    enum class Take {
        More,           // read on
        Complete,       // the reply is whole or settled: the exchange ends without waiting
        Refused,        // the destination refused body bytes
        HeaderTooLarge  // no blank line within HTTPConnection::kHeaderLimit bytes; the header is dropped
    };

    // pResult (not owned) receives the split: iHeaderEnd, iBodyLength,
    // iExcessLength, and at Finish pData; its destination the body.
    explicit ReplySplit(DownloadResult* pResult) : m_pResult(pResult) {}
    // Adds received bytes to the header until its blank line shows; from
    // then on they belong to the body, up to the length the destination
    // asked for (bytes past it are only counted).
    Take TakeReceived(const char* pBytes, std::size_t uLength);
    // After the reply's last byte: a reply that never showed a blank line
    // has its body at "<__Return__>", if anywhere, handed over when
    // bHandOver; the header bytes go to pData. False when the destination
    // refused that body.
    bool Finish(bool bHandOver);
    // Drops the header bytes.
    void Clear() { m_header.Clear(); }

private:
    bool GiveToBody(const char* pBytes, std::size_t uLength);

    DownloadResult* m_pResult;
    HeaderBuffer m_header;                                    // the bytes before the body
    bool m_bInBody = false;                                   // the blank line was found
    std::int64_t m_iBodyLeft = BodyDestination::kUntilClose;  // body bytes still to read, once in the body
    bool m_bComplete = false;
};
