#include "SocketManager/Proxy.h"

#include "driver/PasswordCipher.h"
#include "platform/Platform.h"

#include <cctype>
#include <cstddef>
#include <vector>

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const char cLower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return cLower >= 'a' && cLower <= 'f' ? cLower - 'a' + 10 : -1;
}

// "%XX" becomes the byte XX; a "%" not followed by two hex digits stays.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string Trimmed(const std::string& text) {
    const std::size_t uFirst = text.find_first_not_of(" \t");
    if (uFirst == std::string::npos) return std::string();
    return text.substr(uFirst, text.find_last_not_of(" \t") - uFirst + 1);
}

}  // namespace

bool ParseProxyUrl(const std::string& text, ProxyChoice* pChoice) {
    std::string rest = Trimmed(text);
    pChoice->host.clear();
    const std::size_t uScheme = rest.find("://");
    if (uScheme != std::string::npos) {
        const std::string scheme = Lower(rest.substr(0, uScheme));
        if (scheme != "http") {
            pChoice->host = scheme;
            return false;
        }
        rest.erase(0, uScheme + 3);
    }
    rest = rest.substr(0, rest.find('/'));
    const std::size_t uAt = rest.rfind('@');
    pChoice->authorization.clear();
    if (uAt != std::string::npos) {
        const std::string userInfo = rest.substr(0, uAt);
        const std::size_t uColon = userInfo.find(':');
        std::string credentials = PercentDecoded(userInfo.substr(0, uColon));
        credentials += ':';
        if (uColon != std::string::npos) credentials += PercentDecoded(userInfo.substr(uColon + 1));
        std::string encoded;
        Base64Encode(reinterpret_cast<const unsigned char*>(credentials.data()),
                     static_cast<std::uint32_t>(credentials.size()), encoded, false);
        pChoice->authorization = "Basic " + encoded;
        rest.erase(0, uAt + 1);
    }
    const std::size_t uBracket = rest.rfind(']');
    const std::size_t uColon = rest.find(':', uBracket == std::string::npos ? 0 : uBracket);
    std::string host = rest.substr(0, uColon);
    pChoice->iPort = 1080;
    if (uColon != std::string::npos) {
        const std::string port = rest.substr(uColon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
        pChoice->iPort = std::stoi(port);
        if (pChoice->iPort < 1 || pChoice->iPort > 65535) return false;
    }
    if (host.empty()) return false;
    pChoice->host = host;
    return true;
}

bool NoProxyMatches(const std::string& list, const char* szHost) {
    const std::string host = Lower(szHost);
    std::size_t uStart = 0;
    while (uStart <= list.size()) {
        std::size_t uEnd = list.find(',', uStart);
        if (uEnd == std::string::npos) uEnd = list.size();
        std::string entry = Lower(Trimmed(list.substr(uStart, uEnd - uStart)));
        uStart = uEnd + 1;
        if (entry == "*") return true;
        if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (host == entry) return true;
        if (host.size() > entry.size() && host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
            host[host.size() - entry.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

ProxyChoice ChooseProxy(bool bSecure, const char* szHost, EnvironmentReader read, const std::string& machineProxy,
                        const std::string& machineBypass) {
    const std::vector<const char*> names =
        bSecure ? std::vector<const char*>{"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}
                : std::vector<const char*>{"http_proxy", "all_proxy", "ALL_PROXY"};
    ProxyChoice choice;
    std::string value;
    for (const char* szName : names) {
        if (read(szName, &value)) {
            choice.variable = szName;
            break;
        }
    }
    if (choice.variable.empty()) {
        if (machineProxy.empty()) return choice;
        choice.variable = "WinHTTP";
        value = machineProxy;
    }
    std::string bypass;
    if (!read("no_proxy", &bypass)) read("NO_PROXY", &bypass);
    if (choice.variable == "WinHTTP") bypass += "," + machineBypass;
    if (NoProxyMatches(bypass, szHost)) {
        choice.eKind = ProxyChoice::Kind::Bypassed;
        return choice;
    }
    choice.eKind = ParseProxyUrl(value, &choice) ? ProxyChoice::Kind::Proxy : ProxyChoice::Kind::Refused;
    return choice;
}

ProxyChoice EnvironmentProxy(bool bSecure, const char* szHost) {
    std::string machineProxy, machineBypass;
    if (!os::MachineProxy(bSecure, &machineProxy, &machineBypass)) machineProxy.clear();
    return ChooseProxy(bSecure, szHost, os::ReadEnvironment, machineProxy, machineBypass);
}
