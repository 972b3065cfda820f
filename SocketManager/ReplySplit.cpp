#include "SocketManager/ReplySplit.h"

#include "SocketManager/HTTPConnection.h"
#include "driver/TaggedText.h"

#include <algorithm>
#include <cstring>

namespace {

const char kReturnTag[] = "<__Return__>";
constexpr std::int32_t kReturnTagLength = sizeof kReturnTag - 1;

}  // namespace

void HeaderBuffer::Append(const char* pBytes, std::size_t uLength) {
    const std::size_t uNeeded = m_uSize + uLength;
    if (uNeeded > m_uCapacity) {
        const std::size_t uCapacity = uNeeded <= kSmall    ? kSmall
                                      : uNeeded <= kMedium ? kMedium
                                                           : static_cast<std::size_t>(HTTPConnection::kHeaderLimit);
        std::unique_ptr<char[]> pBigger(new char[uCapacity + 1]);
        if (m_uSize > 0) std::memcpy(pBigger.get(), m_pBytes.get(), m_uSize);
        m_pBytes = std::move(pBigger);
        m_uCapacity = uCapacity;
    }
    if (uLength > 0) std::memcpy(m_pBytes.get() + m_uSize, pBytes, uLength);
    m_uSize = uNeeded;
}

char* HeaderBuffer::Release() {
    m_pBytes[m_uSize] = '\0';
    m_uSize = m_uCapacity = 0;
    return m_pBytes.release();
}

bool FindBlankLine(const char* pText, std::int32_t iSize, std::int32_t iFrom, std::int32_t* piAt,
                   std::int32_t* piLength) {
    const char* pFrom = pText + iFrom;
    const std::int32_t iCrLf = FindBytes("\r\n\r\n", 4, pFrom, iSize - iFrom);
    const std::int32_t iLf = FindBytes("\n\n", 2, pFrom, iSize - iFrom);
    if (iCrLf < 0 && iLf < 0) return false;
    const bool bCrLf = iCrLf >= 0 && (iLf < 0 || iCrLf < iLf);
    *piAt = iFrom + (bCrLf ? iCrLf : iLf);
    *piLength = bCrLf ? 4 : 2;
    return true;
}

// Hands body bytes to the destination, up to the length it asked for;
// bytes past it are only counted, and the reply is then complete, as it is
// once the destination is settled. False when it refuses them.
bool ReplySplit::GiveToBody(const char* pBytes, std::size_t uLength) {
    std::size_t uTake = uLength;
    if (m_bComplete) {
        uTake = 0;
    } else if (m_iBodyLeft >= 0) {
        uTake = static_cast<std::size_t>(std::min<std::int64_t>(m_iBodyLeft, static_cast<std::int64_t>(uLength)));
        m_iBodyLeft -= static_cast<std::int64_t>(uTake);
        m_bComplete = m_iBodyLeft == 0;
    }
    m_pResult->iExcessLength += static_cast<std::int64_t>(uLength - uTake);
    if (uTake == 0) return true;
    BodyDestination* pDestination = m_pResult->pBodyDestination;
    if (!pDestination->Append(pBytes, uTake)) return false;
    m_pResult->iBodyLength += static_cast<std::int64_t>(uTake);
    if (pDestination->Settled()) m_bComplete = true;
    return true;
}

ReplySplit::Take ReplySplit::TakeReceived(const char* pBytes, std::size_t uLength) {
    if (m_bInBody) {
        if (!GiveToBody(pBytes, uLength)) return Take::Refused;
        return m_bComplete ? Take::Complete : Take::More;
    }
    const std::size_t uOld = m_header.Size();
    const std::size_t uTake = std::min(uLength, static_cast<std::size_t>(HTTPConnection::kHeaderLimit) - uOld);
    m_header.Append(pBytes, uTake);
    // A separator may straddle the old end: look from three bytes before it.
    const std::int32_t iFrom = static_cast<std::int32_t>(uOld > 3 ? uOld - 3 : 0);
    std::int32_t iAt = 0, iSeparator = 0;
    if (!FindBlankLine(m_header.Data(), static_cast<std::int32_t>(m_header.Size()), iFrom, &iAt, &iSeparator)) {
        if (uTake == uLength) return Take::More;
        m_header.Clear();
        return Take::HeaderTooLarge;
    }
    m_bInBody = true;
    m_pResult->iHeaderEnd = iAt;
    m_iBodyLeft = m_pResult->pBodyDestination->HeaderEnds(m_header.Data(), iAt);
    m_bComplete = m_iBodyLeft == 0;
    const std::size_t uBodyStart = static_cast<std::size_t>(iAt + iSeparator);
    const bool bKept = GiveToBody(m_header.Data() + uBodyStart, m_header.Size() - uBodyStart) &&
                       GiveToBody(pBytes + uTake, uLength - uTake);
    m_header.Truncate(uBodyStart);
    if (!bKept) return Take::Refused;
    return m_bComplete ? Take::Complete : Take::More;
}

bool ReplySplit::Finish(bool bHandOver) {
    bool bKept = true;
    if (!m_bInBody) {
        m_pResult->iHeaderEnd = -1;
        const std::int32_t iTag =
            FindBytes(kReturnTag, kReturnTagLength, m_header.Data(), static_cast<std::int32_t>(m_header.Size()));
        if (iTag >= 0 && bHandOver) {
            m_pResult->iHeaderEnd = iTag;
            bKept = GiveToBody(m_header.Data() + iTag, m_header.Size() - static_cast<std::size_t>(iTag));
        }
    }
    if (m_header.Size() == 0) return bKept;
    m_pResult->iDataLength = static_cast<std::int32_t>(m_header.Size());
    m_pResult->pData = m_header.Release();  // with the spare byte
    return bKept;
}
