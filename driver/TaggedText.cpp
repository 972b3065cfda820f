#include "driver/TaggedText.h"

#include <cstring>

namespace {

// Finds the value between the tags: its start and length. False when the
// tags are missing or out of order.
bool FindTagValue(const char* szText, const char* szOpenTag, const char* szCloseTag, const char** ppValue,
                  std::size_t* puLength) {
    if (szText == nullptr || szOpenTag == nullptr || szCloseTag == nullptr) return false;
    const char* pOpen = std::strstr(szText, szOpenTag);
    if (pOpen == nullptr) return false;
    const char* pClose = std::strstr(szText, szCloseTag);
    if (pClose == nullptr) return false;
    const char* pValue = pOpen + std::strlen(szOpenTag);
    if (pClose < pValue) return false;
    *ppValue = pValue;
    *puLength = static_cast<std::size_t>(pClose - pValue);
    return true;
}

bool CopyValue(const char* szText, const char* szOpenTag, const char* szCloseTag, char* szDest, std::size_t uDestSize,
               bool bCut) {
    const char* pValue = nullptr;
    std::size_t uLength = 0;
    if (szDest == nullptr || uDestSize == 0) return false;
    if (!FindTagValue(szText, szOpenTag, szCloseTag, &pValue, &uLength)) return false;
    if (uLength >= uDestSize) {
        if (!bCut) return false;
        uLength = uDestSize - 1;
    }
    std::memcpy(szDest, pValue, uLength);
    szDest[uLength] = '\0';
    return true;
}

}  // namespace

bool ExtractTagValue(const char* szText, const char* szOpenTag, const char* szCloseTag, char* szDest,
                     std::size_t uDestSize) {
    return CopyValue(szText, szOpenTag, szCloseTag, szDest, uDestSize, false);
}

bool ExtractTagValueCut(const char* szText, const char* szOpenTag, const char* szCloseTag, char* szDest,
                        std::size_t uDestSize) {
    return CopyValue(szText, szOpenTag, szCloseTag, szDest, uDestSize, true);
}

std::int32_t FindBytes(const void* pPattern, std::int32_t iPatternLength, const void* pBuffer,
                       std::int32_t iBufferLength) {
    if (pPattern == nullptr || pBuffer == nullptr || iPatternLength <= 0 || iBufferLength < iPatternLength) return -1;
    const unsigned char* pPat = static_cast<const unsigned char*>(pPattern);
    const unsigned char* pBuf = static_cast<const unsigned char*>(pBuffer);
    const unsigned char* pLast = pBuf + (iBufferLength - iPatternLength);
    // Find each candidate by its first byte, then compare the rest.
    for (const unsigned char* p = pBuf; p <= pLast; ++p) {
        p = static_cast<const unsigned char*>(std::memchr(p, pPat[0], static_cast<std::size_t>(pLast - p) + 1));
        if (p == nullptr) return -1;
        if (std::memcmp(p + 1, pPat + 1, static_cast<std::size_t>(iPatternLength - 1)) == 0) {
            return static_cast<std::int32_t>(p - pBuf);
        }
    }
    return -1;
}
