#include "driver/ReplyCheck.h"

#include <cctype>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// True when the line [p, pEnd) starts with szName, compared without regard
// to ASCII case.
bool StartsWithName(const char* p, const char* pEnd, const char* szName) {
    const std::size_t uLength = std::strlen(szName);
    if (static_cast<std::size_t>(pEnd - p) < uLength) return false;
    for (std::size_t i = 0; i < uLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(p[i])) != szName[i]) return false;
    }
    return true;
}

bool ReadLength(const char* p, const char* pEnd, std::int64_t* piLength) {
    while (p < pEnd && (*p == ' ' || *p == '\t')) ++p;
    if (p == pEnd || !IsDigit(*p)) return false;
    const std::int64_t kMax = 0x7fffffffffffffffLL;
    std::int64_t iValue = 0;
    for (; p < pEnd && IsDigit(*p); ++p) {
        const int iDigit = *p - '0';
        iValue = iValue > (kMax - iDigit) / 10 ? kMax : iValue * 10 + iDigit;
    }
    while (p < pEnd && (*p == ' ' || *p == '\t' || *p == '\r')) ++p;
    if (p != pEnd) return false;
    *piLength = iValue;
    return true;
}

}  // namespace

int ReplyStatusCode(const char* pData, std::int32_t iDataLength) {
    if (pData == nullptr || iDataLength < 5 || std::memcmp(pData, "HTTP/", 5) != 0) return -1;
    const char* p = pData + 5;
    const char* pEnd = pData + iDataLength;
    while (p < pEnd && *p != ' ' && *p != '\r' && *p != '\n') ++p;
    while (p < pEnd && *p == ' ') ++p;
    if (pEnd - p < 3 || !IsDigit(p[0]) || !IsDigit(p[1]) || !IsDigit(p[2])) return 0;
    if (pEnd - p > 3 && IsDigit(p[3])) return 0;
    return (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
}

namespace {

// The value of the first header field named szName (lower case, with its
// colon) among [pData, pData + iHeaderLength): its bounds, or false.
bool FindField(const char* pData, std::int32_t iHeaderLength, const char* szName, const char** ppValue,
               const char** ppValueEnd) {
    if (pData == nullptr || iHeaderLength <= 0) return false;
    const char* p = pData;
    const char* pEnd = pData + iHeaderLength;
    while (p < pEnd) {
        const char* pLineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p)));
        if (pLineEnd == nullptr) pLineEnd = pEnd;
        if (StartsWithName(p, pLineEnd, szName)) {
            *ppValue = p + std::strlen(szName);
            *ppValueEnd = pLineEnd;
            return true;
        }
        p = pLineEnd + (pLineEnd < pEnd ? 1 : 0);
    }
    return false;
}

}  // namespace

DeclaredLength DeclaredContentLength(const char* pData, std::int32_t iHeaderLength, std::int64_t* piLength) {
    const char* pValue = nullptr;
    const char* pValueEnd = nullptr;
    if (!FindField(pData, iHeaderLength, "content-length:", &pValue, &pValueEnd)) return DeclaredLength::None;
    return ReadLength(pValue, pValueEnd, piLength) ? DeclaredLength::Valid : DeclaredLength::Unreadable;
}

bool HasTransferCoding(const char* pData, std::int32_t iHeaderLength) {
    const char* p = nullptr;
    const char* pEnd = nullptr;
    if (!FindField(pData, iHeaderLength, "transfer-encoding:", &p, &pEnd)) return false;
    while (p < pEnd && (*p == ' ' || *p == '\t')) ++p;
    while (pEnd > p && (pEnd[-1] == ' ' || pEnd[-1] == '\t' || pEnd[-1] == '\r')) --pEnd;
    return !(pEnd - p == 8 && StartsWithName(p, pEnd, "identity"));
}
