// Any text as a server address (it comes from a configuration file anyone
// can edit): the split never writes past its 4096-byte outputs, and host,
// port and path are the pieces of the text that a plain reading gives.
#include "utility/Utility.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void Require(bool bHolds, const char* szWhat) {
    if (bHolds) return;
    std::fprintf(stderr, "property violated: %s\n", szWhat);
    std::abort();
}

struct Split {
    bool bOk = true;
    std::string host;
    std::int32_t iPort = 80;
    std::string path;
};

// The port a port text gives, as atoi reads it (white space, one sign,
// digits), or 0 unless that value is 1 to 65535.
std::int32_t ReadPort(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) bNegative = text[i++] == '-';
    unsigned long long ullValue = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        ullValue = ullValue * 10u + static_cast<unsigned>(text[i] - '0');
        if (ullValue > 65535u) return 0;
    }
    return bNegative ? 0 : static_cast<std::int32_t>(ullValue);
}

Split Reference(const std::string& url) {
    Split split;
    const std::size_t kTooLong = Utility::kSchemeSize;
    if (url.size() >= static_cast<std::size_t>(Utility::kTextSize)) {
        split.bOk = false;
        return split;
    }
    std::string work = url;
    const std::size_t uSlashes = url.find("//");
    if (uSlashes != std::string::npos) {
        if (uSlashes >= kTooLong) {
            split.bOk = false;
            return split;
        }
        std::string scheme = url.substr(0, uSlashes);
        for (char& c : scheme) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (scheme == "https:") split.iPort = 443;
        work = url.substr(uSlashes + 2);
    }
    work = work.substr(0, work.find(' '));
    const std::size_t uSlash = work.find('/');
    if (uSlash != std::string::npos) {
        split.path = work.substr(uSlash);
        work.resize(uSlash);
    }
    // A bracketed IPv6 literal is the host; a port may follow its "]".
    std::string host = work;
    std::size_t uAfterHost = 0;
    if (!work.empty() && work[0] == '[') {
        const std::size_t uClose = work.find(']');
        host = uClose == std::string::npos ? std::string() : work.substr(1, uClose - 1);
        uAfterHost = uClose + 1;
        if (uClose == std::string::npos || !Utility::IsIpv6Address(host.c_str()) ||
            (uAfterHost < work.size() && work[uAfterHost] != ':')) {
            split.bOk = false;
            return split;
        }
    }
    const std::size_t uColon = work.find(':', uAfterHost);
    if (uColon == std::string::npos) {
        split.host = host;
        return split;
    }
    const std::string portText = work.substr(uColon + 1);
    if (portText.size() >= kTooLong) {
        split.bOk = false;
        split.path.clear();
        return split;
    }
    split.host = uAfterHost > 0 ? host : work.substr(0, uColon);
    const std::int32_t iValue = ReadPort(portText);
    if (iValue == 0) {
        split.bOk = false;
        return split;
    }
    split.iPort = iValue;
    return split;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t uSize) {
    // The text ends at its first NUL, as it would in the configuration file.
    std::unique_ptr<char[]> szURL(new char[uSize + 1]);
    std::memcpy(szURL.get(), pData, uSize);
    szURL[uSize] = '\0';
    const std::string url(szURL.get());

    // Heap outputs of exactly the callers' size, filled with a mark, so that
    // a write past them is caught and an unwritten one shows.
    std::unique_ptr<char[]> szHost(new char[Utility::kTextSize]);
    std::unique_ptr<char[]> szPath(new char[Utility::kTextSize]);
    std::memset(szHost.get(), 0x5a, Utility::kTextSize);
    std::memset(szPath.get(), 0x5a, Utility::kTextSize);
    std::int32_t iPort = -12345;
    const bool bOk = Utility::GetDomainNameFromURL(szURL.get(), szHost.get(), iPort, szPath.get());

    Require(std::memchr(szHost.get(), '\0', Utility::kTextSize) != nullptr, "the host is always terminated");
    Require(std::memchr(szPath.get(), '\0', Utility::kTextSize) != nullptr, "the path is always terminated");
    const std::string host(szHost.get());
    const std::string path(szPath.get());

    // Shape, whatever the input.
    const bool bIpv6 = Utility::IsIpv6Address(host.c_str());
    Require(host.find_first_of(bIpv6 ? "/ " : "/: ") == std::string::npos,
            "the host holds no '/', ' ' or, but in IPv6, ':'");
    Require(path.empty() || path[0] == '/', "the path is empty or starts with '/'");
    Require(path.find(' ') == std::string::npos, "the path holds no ' '");
    Require(url.find(host) != std::string::npos, "the host is a piece of the text");
    Require(url.find(path) != std::string::npos, "the path is a piece of the text");
    const std::size_t uSlashes = url.find("//");
    const std::string afterScheme = uSlashes == std::string::npos ? url : url.substr(uSlashes + 2);
    const std::string hostPart = afterScheme.substr(0, afterScheme.find_first_of("/ "));
    const bool bBracketed = !hostPart.empty() && hostPart[0] == '[';
    const std::size_t uClose = bBracketed ? hostPart.find(']') : 0;
    const bool bPortGiven = uClose != std::string::npos && hostPart.find(':', uClose) != std::string::npos;
    if (!bPortGiven) Require(iPort == 80 || iPort == 443, "without a ':' after the host the port is 80 or 443");
    if (bOk) {
        Require(afterScheme.compare(bBracketed ? 1 : 0, host.size(), host) == 0,
                "the host starts the text after the first // (inside its brackets)");
    }
    if (!bOk) {
        const bool bTooLong =
            url.size() >= static_cast<std::size_t>(Utility::kTextSize) ||
            (uSlashes != std::string::npos && uSlashes >= static_cast<std::size_t>(Utility::kSchemeSize)) ||
            bPortGiven || bBracketed;
        Require(bTooLong,
                "false only for a port text that is no port, a bracket that holds no IPv6 address, or a text too long");
    } else {
        Require(iPort >= 1 && iPort <= 65535, "a split that succeeds gives a port of 1 to 65535");
    }

    // Exact pieces.
    const Split expected = Reference(url);
    Require(bOk == expected.bOk, "the result is the reference result");
    Require(host == expected.host, "the host is the reference host");
    Require(path == expected.path, "the path is the reference path");
    Require(iPort == expected.iPort, "the port is the reference port");
    return 0;
}
