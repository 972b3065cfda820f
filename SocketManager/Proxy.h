// The forward proxy an exchange goes through, chosen from the environment
// the way curl and wget read it. No socket here.
#pragma once

#include <cstdint>
#include <string>

struct ProxyChoice {
    enum class Kind : std::uint8_t {
        Direct,    // no proxy variable is set: the exchange goes direct
        Proxy,     // through the proxy below
        Bypassed,  // a proxy is set, but no_proxy names the host: direct
        Refused    // the proxy's address cannot be used (another scheme than http:, no host, a bad port)
    };
    Kind eKind = Kind::Direct;
    std::string variable;       // the variable that named the proxy, or "WinHTTP"
    std::string host;           // the proxy's host (Proxy), or the refused text's scheme (Refused)
    std::int32_t iPort = 1080;  // the proxy's port
    std::string authorization;  // "Basic " and the Base64 of "user:password", or "" for none
};

// Reads one variable: true with its value when it is set and not empty.
using EnvironmentReader = bool (*)(const char* szName, std::string* pValue);

// Chooses the proxy for a URL of the scheme https: (bSecure) or http: to
// szHost (as configured): https_proxy or HTTPS_PROXY for https:, http_proxy
// (lower case only) for http:, all_proxy or ALL_PROXY otherwise, the first
// that is set; without any, the machine's proxy (szMachineProxy, a proxy
// URL, "" for none) with szMachineBypass (a no_proxy list). no_proxy or
// NO_PROXY, a comma-separated list, sends the host direct (see
// NoProxyMatches).
ProxyChoice ChooseProxy(bool bSecure, const char* szHost, EnvironmentReader read, const std::string& machineProxy,
                        const std::string& machineBypass);

// Parses "[http://][user:password@]host[:port][/]" (the port 1080 when
// none; user and password percent-decoded) into *pChoice's host, port and
// authorization. False, with pChoice->host the scheme, for any other scheme
// (an "https://" proxy is not served); false with an empty host for a text
// that names no host or a bad port.
bool ParseProxyUrl(const std::string& text, ProxyChoice* pChoice);

// Whether the no_proxy list names szHost: "*" names every host; an entry
// with or without a leading dot names that domain and its subdomains; an
// IP address names itself. Without regard to letter case; blanks around
// entries are ignored.
bool NoProxyMatches(const std::string& list, const char* szHost);

// ChooseProxy with this process's environment and the machine's proxy
// (os::ReadEnvironment, os::MachineProxy).
ProxyChoice EnvironmentProxy(bool bSecure, const char* szHost);
