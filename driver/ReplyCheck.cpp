#include "driver/ReplyCheck.h"

#include <cctype>
#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// True when [p, pEnd) starts with szName (lower case), compared without
// regard to ASCII case.
bool StartsWithName(const char* p, const char* pEnd, const char* szName) {
    const std::size_t uLength = std::strlen(szName);
    if (static_cast<std::size_t>(pEnd - p) < uLength) return false;
    for (std::size_t i = 0; i < uLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(p[i])) != szName[i]) return false;
    }
    return true;
}

bool ReadLength(const char* p, const char* pEnd, std::int64_t* piLength) {
    while (p < pEnd && IsBlank(*p)) ++p;
    if (p == pEnd || !IsDigit(*p)) return false;
    const std::int64_t kMax = 0x7fffffffffffffffLL;
    std::int64_t iValue = 0;
    for (; p < pEnd && IsDigit(*p); ++p) {
        const int iDigit = *p - '0';
        iValue = iValue > (kMax - iDigit) / 10 ? kMax : iValue * 10 + iDigit;
    }
    while (p < pEnd && (IsBlank(*p) || *p == '\r')) ++p;
    if (p != pEnd) return false;
    *piLength = iValue;
    return true;
}

// One header field: its value's bounds (up to the line's LF), and whether
// it is malformed: white space between its name and its colon, or no colon.
struct Field {
    const char* pValue;
    const char* pValueEnd;
    bool bMalformed;
};

// Calls onField(field) for each header line among [pData, pData +
// iHeaderLength) whose name is szName (lower case, without the colon),
// until it returns false. A line that holds the name, white space and no
// colon counts as a malformed field of that name.
template <typename OnField>
void ForEachField(const char* pData, std::int32_t iHeaderLength, const char* szName, OnField onField) {
    if (pData == nullptr || iHeaderLength <= 0) return;
    const std::size_t uName = std::strlen(szName);
    const char* p = pData;
    const char* pEnd = pData + iHeaderLength;
    while (p < pEnd) {
        const char* pLineEnd = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(pEnd - p)));
        if (pLineEnd == nullptr) pLineEnd = pEnd;
        if (StartsWithName(p, pLineEnd, szName)) {
            const char* pAfterName = p + uName;
            const char* pColon = pAfterName;
            while (pColon < pLineEnd && IsBlank(*pColon)) ++pColon;
            const bool bColon = pColon < pLineEnd && *pColon == ':';
            const bool bBlank = pColon != pAfterName;
            if ((bColon || bBlank) && !onField(Field{bColon ? pColon + 1 : pColon, pLineEnd, bBlank})) return;
        }
        p = pLineEnd + (pLineEnd < pEnd ? 1 : 0);
    }
}

// Narrows [*pp, *ppEnd) to the value without its blanks and CR at either end.
void Trim(const char** pp, const char** ppEnd) {
    while (*pp < *ppEnd && IsBlank(**pp)) ++*pp;
    while (*ppEnd > *pp && (IsBlank((*ppEnd)[-1]) || (*ppEnd)[-1] == '\r')) --*ppEnd;
}

// Whether any field named szName holds a value but "identity".
bool HasCoding(const char* pData, std::int32_t iHeaderLength, const char* szName) {
    bool bCoded = false;
    ForEachField(pData, iHeaderLength, szName, [&bCoded](const Field& field) {
        const char* p = field.pValue;
        const char* pEnd = field.pValueEnd;
        Trim(&p, &pEnd);
        bCoded = !(pEnd - p == 8 && StartsWithName(p, pEnd, "identity"));
        return !bCoded;
    });
    return bCoded;
}

// The value of the first field named szName, blanks and CR trimmed at both
// ends; false when there is none.
bool FirstFieldValue(const char* pData, std::int32_t iHeaderLength, const char* szName, const char** ppValue,
                     const char** ppValueEnd) {
    bool bFound = false;
    ForEachField(pData, iHeaderLength, szName, [&](const Field& field) {
        *ppValue = field.pValue;
        *ppValueEnd = field.pValueEnd;
        Trim(ppValue, ppValueEnd);
        bFound = true;
        return false;
    });
    return bFound;
}

std::uint32_t BigEndian(const unsigned char* p, std::size_t uBytes) {
    std::uint32_t uValue = 0;
    for (std::size_t i = 0; i < uBytes; ++i) uValue = uValue << 8 | p[i];
    return uValue;
}

}  // namespace

int ReplyStatusCode(const char* pData, std::int32_t iDataLength) {
    if (pData == nullptr || iDataLength <= 0) return -1;
    const char* pEnd = pData + iDataLength;
    const char* p = pData;
    while (p < pEnd && (IsBlank(*p) || *p == '\r' || *p == '\n')) ++p;
    if (!StartsWithName(p, pEnd, "http/")) return -1;
    p += 5;
    while (p < pEnd && *p != ' ' && *p != '\r' && *p != '\n') ++p;
    while (p < pEnd && *p == ' ') ++p;
    if (pEnd - p < 3 || !IsDigit(p[0]) || !IsDigit(p[1]) || !IsDigit(p[2])) return 0;
    if (pEnd - p > 3 && IsDigit(p[3])) return 0;
    return (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
}

DeclaredLength DeclaredContentLength(const char* pData, std::int32_t iHeaderLength, std::int64_t* piLength) {
    DeclaredLength result = DeclaredLength::None;
    std::int64_t iFirst = 0;
    ForEachField(pData, iHeaderLength, "content-length", [&](const Field& field) {
        std::int64_t iValue = 0;
        if (field.bMalformed || !ReadLength(field.pValue, field.pValueEnd, &iValue)) {
            result = DeclaredLength::Unreadable;
            return false;
        }
        if (result == DeclaredLength::None) {
            iFirst = iValue;
            result = DeclaredLength::Valid;
        } else if (iValue != iFirst) {
            result = DeclaredLength::Conflicting;
        }
        return true;
    });
    if (result == DeclaredLength::Valid) *piLength = iFirst;
    return result;
}

bool HasTransferCoding(const char* pData, std::int32_t iHeaderLength) {
    return HasCoding(pData, iHeaderLength, "transfer-encoding");
}

bool HasContentCoding(const char* pData, std::int32_t iHeaderLength) {
    return HasCoding(pData, iHeaderLength, "content-encoding");
}

bool DeclaredDatabaseSize(const char* pStart, std::size_t uLength, std::int64_t* piSize) {
    static const char kMagic[] = "SQLite format 3";  // and its NUL: 16 bytes
    if (pStart == nullptr || uLength < kSqliteHeaderSize || std::memcmp(pStart, kMagic, sizeof kMagic) != 0) {
        return false;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pStart);
    const std::uint32_t uRawPageSize = BigEndian(p + 16, 2);
    const std::uint32_t uPageSize = uRawPageSize == 1 ? 65536u : uRawPageSize;
    const std::uint32_t uPages = BigEndian(p + 28, 4);
    const bool bPowerOfTwo = (uPageSize & (uPageSize - 1)) == 0;
    if (uPages == 0 || uPageSize < 512 || uPageSize > 65536 || !bPowerOfTwo) return false;
    if (BigEndian(p + 92, 4) != BigEndian(p + 24, 4)) return false;
    *piSize = static_cast<std::int64_t>(uPages) * uPageSize;
    return true;
}

const char* WebPageType(const char* pData, std::int32_t iHeaderLength) {
    const char* p = nullptr;
    const char* pEnd = nullptr;
    if (!FirstFieldValue(pData, iHeaderLength, "content-type", &p, &pEnd)) return "";
    const char* pTypeEnd = p;
    while (pTypeEnd < pEnd && *pTypeEnd != ';' && !IsBlank(*pTypeEnd)) ++pTypeEnd;
    for (const char* szType : {"text/html", "application/xhtml+xml"}) {
        if (static_cast<std::size_t>(pTypeEnd - p) == std::strlen(szType) && StartsWithName(p, pTypeEnd, szType)) {
            return szType;
        }
    }
    return "";
}

bool BeginsAsWebPage(const std::string& lead) {
    const char* p = lead.data();
    const char* pEnd = p + lead.size();
    return StartsWithName(p, pEnd, "<!doctype html") || StartsWithName(p, pEnd, "<html");
}

std::int64_t BodyLengthToRead(const char* pData, std::int32_t iHeaderLength) {
    if (HasTransferCoding(pData, iHeaderLength) || HasContentCoding(pData, iHeaderLength)) return 0;
    std::int64_t iLength = 0;
    switch (DeclaredContentLength(pData, iHeaderLength, &iLength)) {
        case DeclaredLength::None:
            return -1;
        case DeclaredLength::Valid:
            return iLength;
        case DeclaredLength::Unreadable:
        case DeclaredLength::Conflicting:
            break;
    }
    return 0;
}

std::string LocationField(const char* pData, std::int32_t iHeaderLength) {
    const char* p = nullptr;
    const char* pEnd = nullptr;
    if (!FirstFieldValue(pData, iHeaderLength, "location", &p, &pEnd)) return std::string();
    return std::string(p, pEnd);
}
