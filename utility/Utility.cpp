#include "utility/Utility.h"

#include "platform/Platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Copies szSource into szDest of uSize bytes; false (nothing copied) when
// it does not fit with its NUL.
bool CopyFitting(char* szDest, std::size_t uSize, const char* szSource, std::size_t uLength) {
    if (uLength >= uSize) return false;
    std::memcpy(szDest, szSource, uLength);
    szDest[uLength] = '\0';
    return true;
}

// Whether c is white space as the C library's isspace reads it in the "C"
// locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Reads a port text the way the C library's atoi reads a number (white
// space, one sign, digits up to the first other character) and gives the
// port, or 0 when the value is not one of 1 to 65535: no digits, zero, a
// negative value, or one too large (never wrapped into another port).
std::int32_t ReadPort(const char* szText) {
    const char* p = szText;
    while (IsSpace(*p)) ++p;
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

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Whether the uLength letters of szWord, in lower case, are "https" or one
// edit (a letter added, dropped or changed, or two neighbours swapped) away.
bool NearHttps(const char* szWord, std::size_t uLength) {
    const char kHttps[] = "https";
    const std::size_t uTarget = sizeof kHttps - 1;
    if (uLength + 1 < uTarget || uLength > uTarget + 1) return false;
    char szLower[uTarget + 2] = {};
    for (std::size_t i = 0; i < uLength; ++i) {
        szLower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(szWord[i])));
    }
    std::size_t uSame = 0;  // the common beginning
    while (uSame < uLength && uSame < uTarget && szLower[uSame] == kHttps[uSame]) ++uSame;
    if (uSame == uLength && uSame == uTarget) return true;
    // The rest must match once one edit is made at the first difference.
    const char* pWord = szLower + uSame;
    const char* pTarget = kHttps + uSame;
    if (uLength == uTarget) {
        const bool bSwapped = pWord[0] == pTarget[1] && pWord[1] == pTarget[0] && pWord[1] != '\0' &&
                              std::strcmp(pWord + 2, pTarget + 2) == 0;
        return bSwapped || std::strcmp(pWord + 1, pTarget + 1) == 0;
    }
    return uLength > uTarget ? std::strcmp(pWord + 1, pTarget) == 0 : std::strcmp(pWord, pTarget + 1) == 0;
}

// Whether szText begins with szPrefix (lower case), letter case ignored.
bool BeginsWithFolded(const char* szText, const char* szPrefix) {
    for (; *szPrefix != '\0'; ++szText, ++szPrefix) {
        if (std::tolower(static_cast<unsigned char>(*szText)) != *szPrefix) return false;
    }
    return true;
}

}  // namespace

namespace Utility {

AddressFault CheckServerAddress(const char* szAddress) {
    const std::size_t uLength = szAddress != nullptr ? std::strlen(szAddress) : 0;
    if (uLength == 0) return AddressFault::None;
    if (IsSpace(szAddress[0]) || IsSpace(szAddress[uLength - 1])) return AddressFault::WhiteSpace;
    std::size_t uLetters = 0;
    while (IsAsciiLetter(szAddress[uLetters])) ++uLetters;
    const char* pRest = szAddress + uLetters;
    const bool bHostGoesOn = *pRest == '\0' || (*pRest >= '0' && *pRest <= '9') || *pRest == '.' || *pRest == '-' ||
                             *pRest == '_' || (pRest[0] == ':' && pRest[1] >= '0' && pRest[1] <= '9');
    if (bHostGoesOn || !NearHttps(szAddress, uLetters)) return AddressFault::None;
    const char* pAfter = BeginsWithFolded(szAddress, "https://")  ? szAddress + 8
                         : BeginsWithFolded(szAddress, "http://") ? szAddress + 7
                                                                  : nullptr;
    if (pAfter != nullptr && *pAfter != '/' && *pAfter != '\\') return AddressFault::None;
    return AddressFault::NearHttps;
}

bool IsMiswrittenAddress(const char* szHost, char* szCanonical) {
    if (szHost == nullptr) return false;
    const std::uint32_t uAddress = winsock::inet_addr(szHost);
    if (uAddress == winsock::kInaddrNone) return false;
    unsigned char aBytes[4];
    std::memcpy(aBytes, &uAddress, sizeof aBytes);  // network order: first part first
    char szDotted[16];
    std::snprintf(szDotted, sizeof szDotted, "%u.%u.%u.%u", aBytes[0], aBytes[1], aBytes[2], aBytes[3]);
    if (std::strcmp(szDotted, szHost) == 0) return false;
    std::memcpy(szCanonical, szDotted, sizeof szDotted);
    return true;
}

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
    char* pHost = szWork;
    char* pAfterHost = szWork;  // where a port's ":" is looked for
    if (szWork[0] == '[') {
        char* pClose = std::strchr(szWork, ']');
        if (pClose == nullptr) return false;
        *pClose = '\0';
        pHost = szWork + 1;
        pAfterHost = pClose + 1;
        if (!IsIpv6Address(pHost) || (*pAfterHost != '\0' && *pAfterHost != ':')) return false;
    }
    char* pColon = std::strchr(pAfterHost, ':');
    if (pColon == nullptr) {
        std::strcpy(szHost, pHost);
        return true;
    }
    // A port text too long to handle refuses the whole URL: host and path
    // stay empty.
    if (!CopyFitting(szScratch, sizeof szScratch, pColon + 1, std::strlen(pColon + 1))) {
        szPath[0] = '\0';
        return false;
    }
    *pColon = '\0';
    std::strcpy(szHost, pHost);
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
    unsigned char aBytes[16];
    if (winsock::ParseIpv6(szHost, aBytes)) {
        char szText[winsock::kIpv6TextSize];
        return winsock::FormatIpv6(aBytes, szText, sizeof szText) &&
               CopyFitting(szAddress, kTextSize, szText, std::strlen(szText));
    }
    const winsock::HostEnt* pEntry = winsock::gethostbyname(szHost);
    if (pEntry == nullptr || pEntry->h_addr_list == nullptr || pEntry->h_addr_list[0] == nullptr) return false;
    std::uint32_t uAddress;
    std::memcpy(&uAddress, pEntry->h_addr_list[0], sizeof uAddress);
    const char* szDotted = winsock::inet_ntoa(uAddress);
    return CopyFitting(szAddress, kTextSize, szDotted, std::strlen(szDotted));
}

bool GetIpv6AddressByName(const char* szHost, char* szAddress) {
    std::vector<std::string> addresses;
    if (szHost == nullptr || !winsock::LookupAllAddresses(szHost, &addresses)) return false;
    for (const std::string& szText : addresses) {
        if (IsIpv6Address(szText.c_str())) return CopyFitting(szAddress, kTextSize, szText.c_str(), szText.size());
    }
    return false;
}

bool GetIPAddressByName(const char* szHost, char* szAddress) {
    if (ResolveHostName(szHost, szAddress)) return true;
    if (szHost == nullptr) return false;
    std::uint32_t uSize = kTextSize;
    return winsock::LookupHostAddress(szHost, szAddress, &uSize) || GetIpv6AddressByName(szHost, szAddress);
}

bool IsIpv6Address(const char* szText) {
    unsigned char aBytes[16];
    return winsock::ParseIpv6(szText, aBytes);
}

std::string BracketedHost(const char* szHost) {
    return IsIpv6Address(szHost) ? "[" + std::string(szHost) + "]" : std::string(szHost);
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
