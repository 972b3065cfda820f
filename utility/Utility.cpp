#include "utility/Utility.h"

#include "platform/Platform.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// Copies szSource into szDest of uSize bytes; false (nothing copied) when
// it does not fit with its NUL.
bool CopyFitting(char* szDest, std::size_t uSize, const char* szSource, std::size_t uLength) {
    if (uLength >= uSize) return false;
    std::memcpy(szDest, szSource, uLength);
    szDest[uLength] = '\0';
    return true;
}

// Reads a port text the way the C library's atoi reads a number (white
// space, one sign, digits up to the first other character) and gives the
// port, or 0 when the value is not one of 1 to 65535: no digits, zero, a
// negative value, or one too large (never wrapped into another port).
std::int32_t ReadPort(const char* szText) {
    const char* p = szText;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool bNegative = false;
    if (*p == '+' || *p == '-') bNegative = *p++ == '-';
    std::int32_t iValue = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        iValue = iValue * 10 + (*p - '0');
        if (iValue > 65535) return 0;
    }
    return bNegative ? 0 : iValue;
}

// Whether the whole text is a dotted IPv4 address: four decimal numbers
// of one to three digits, each at most 255, and nothing else.
bool IsDottedIpv4(const char* szText) {
    const char* p = szText;
    for (int iPart = 0; iPart < 4; ++iPart) {
        if (iPart > 0 && *p++ != '.') return false;
        int iDigits = 0;
        int iValue = 0;
        for (; *p >= '0' && *p <= '9' && iDigits < 4; ++p, ++iDigits) iValue = iValue * 10 + (*p - '0');
        if (iDigits == 0 || iDigits > 3 || iValue > 255) return false;
    }
    return *p == '\0';
}

// Whether the uLength bytes of szScheme are "https:" in any letter case.
bool IsHttpsScheme(const char* szScheme, std::size_t uLength) {
    const char kHttps[] = "https:";
    if (uLength != sizeof kHttps - 1) return false;
    for (std::size_t i = 0; i < uLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(szScheme[i])) != kHttps[i]) return false;
    }
    return true;
}

}  // namespace

namespace Utility {

bool GetDomainNameFromURL(const char* szURL, char* szHost, std::int32_t& iPort, char* szPath) {
    iPort = 80;
    szHost[0] = '\0';
    szPath[0] = '\0';
    if (szURL == nullptr) return true;
    // The whole text must fit the working copy, scheme part included.
    if (std::strlen(szURL) >= static_cast<std::size_t>(kTextSize)) return false;
    char szWork[kTextSize];
    char szScratch[kSchemeSize];
    const char* pSlashes = std::strstr(szURL, "//");
    const char* pRest = pSlashes != nullptr ? pSlashes + 2 : szURL;
    if (!CopyFitting(szWork, sizeof szWork, pRest, std::strlen(pRest))) return false;
    if (pSlashes != nullptr) {
        if (!CopyFitting(szScratch, sizeof szScratch, szURL, static_cast<std::size_t>(pSlashes - szURL))) return false;
        if (IsHttpsScheme(szScratch, std::strlen(szScratch))) iPort = 443;
    }
    if (char* pSpace = std::strchr(szWork, ' ')) *pSpace = '\0';
    if (char* pSlash = std::strchr(szWork, '/')) {
        std::strcpy(szPath, pSlash);  // a piece of szWork: fits in kTextSize
        *pSlash = '\0';
    }
    char* pColon = std::strchr(szWork, ':');
    if (pColon == nullptr) {
        std::strcpy(szHost, szWork);
        return true;
    }
    // A port text too long to handle refuses the whole URL: host and path
    // stay empty.
    if (!CopyFitting(szScratch, sizeof szScratch, pColon + 1, std::strlen(pColon + 1))) {
        szPath[0] = '\0';
        return false;
    }
    *pColon = '\0';
    std::strcpy(szHost, szWork);
    const std::int32_t iValue = ReadPort(szScratch);
    if (iValue == 0) return false;
    iPort = iValue;
    return true;
}

bool IsSecureURL(const char* szURL) {
    const char* pSlashes = szURL != nullptr ? std::strstr(szURL, "//") : nullptr;
    return pSlashes != nullptr && IsHttpsScheme(szURL, static_cast<std::size_t>(pSlashes - szURL));
}

bool ResolveHostName(const char* szHost, char* szAddress) {
    if (szHost == nullptr) return false;
    const std::size_t uLength = std::strlen(szHost);
    if (uLength >= static_cast<std::size_t>(kTextSize)) return false;
    if (IsDottedIpv4(szHost)) return CopyFitting(szAddress, kTextSize, szHost, uLength);
    const winsock::HostEnt* pEntry = winsock::gethostbyname(szHost);
    if (pEntry == nullptr || pEntry->h_addr_list == nullptr || pEntry->h_addr_list[0] == nullptr) return false;
    std::uint32_t uAddress;
    std::memcpy(&uAddress, pEntry->h_addr_list[0], sizeof uAddress);
    const char* szDotted = winsock::inet_ntoa(uAddress);
    return CopyFitting(szAddress, kTextSize, szDotted, std::strlen(szDotted));
}

bool GetIPAddressByName(const char* szHost, char* szAddress) {
    if (ResolveHostName(szHost, szAddress)) return true;
    if (szHost == nullptr) return false;
    std::uint32_t uSize = kTextSize;
    return winsock::LookupHostAddress(szHost, szAddress, &uSize);
}

bool WideToUTF8(const char16_t* wszText, char* szOut, std::int32_t iSize) {
    if (wszText == nullptr || szOut == nullptr || iSize <= 0) return false;
    const int iWithTerminator = os::WideToUtf8(wszText, -1, nullptr, 0);
    if (iWithTerminator <= 0 || iWithTerminator - 1 >= iSize) return false;
    return os::WideToUtf8(wszText, -1, szOut, iSize) == iWithTerminator;
}

}  // namespace Utility

std::string LoggableUrl(const char* szURL) {
    std::string url = szURL;
    const char kField[] = "Password=";
    for (std::size_t uAt = url.find(kField); uAt != std::string::npos; uAt = url.find(kField, uAt + 1)) {
        if (uAt > 0 && url[uAt - 1] != '?' && url[uAt - 1] != '&') continue;
        const std::size_t uValue = uAt + sizeof kField - 1;
        const std::size_t uEnd = url.find('&', uValue);
        url.replace(uValue, (uEnd == std::string::npos ? url.size() : uEnd) - uValue, "***");
    }
    return url;
}

std::string UrlEncode(const std::string& szValue) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string szEncoded;
    szEncoded.reserve(szValue.size() * 3);
    for (const char c : szValue) {
        const unsigned char uByte = static_cast<unsigned char>(c);
        if ((uByte >= 'a' && uByte <= 'z') || (uByte >= 'A' && uByte <= 'Z') || (uByte >= '0' && uByte <= '9') ||
            uByte == '-' || uByte == '_' || uByte == '.') {
            szEncoded += c;
        } else if (uByte == ' ') {
            szEncoded += '+';
        } else {
            szEncoded += '%';
            szEncoded += kHex[uByte >> 4];
            szEncoded += kHex[uByte & 15];
        }
    }
    return szEncoded;
}
