// Stateless network helpers. None of them logs: each reports with a
// boolean and the caller logs.
#pragma once

#include <cstdint>
#include <string>

namespace Utility {

constexpr int kTextSize = 4096;  // URL, host, path and address buffers
constexpr int kSchemeSize = 32;  // scheme part and port text

// Splits szURL ("[scheme//]host[:port][/path]", cut at its first space)
// into szHost and szPath (each kTextSize bytes) and iPort (80, or 443 after
// "https:", unless a port is given). The host may be an IPv6 address in
// brackets ("[2001:db8::7]:8080"): szHost is then the text between them,
// and the port follows "]:". Host, port and path are written on every
// call. False when the port text does not read as a port of 1 to 65535
// (the port then stays at the scheme's default), when a "[" is not closed,
// what it encloses is not an IPv6 address (no zone), or anything but ":"
// follows its "]" (the host then stays empty), and when the URL
// (kTextSize bytes or more), the scheme part or the port text (kSchemeSize
// bytes or more) is too long to handle: then host and path are empty.
bool GetDomainNameFromURL(const char* szURL, char* szHost, std::int32_t& iPort, char* szPath);

// Whether szURL's scheme part (the text before its first "//") is "https:"
// in any letter case: the URL is then fetched over TLS.
bool IsSecureURL(const char* szURL);

// What is wrong with a server address as configured, before it is split.
enum class AddressFault {
    None,
    WhiteSpace,  // it begins or ends with white space (space, tab, CR, LF, VT, FF)
    NearHttps    // its scheme is a near miss of "https://" (see CheckServerAddress)
};

// Checks a configured server address. Its leading ASCII letters are taken
// as a scheme when they are followed by anything but a host's own
// characters (a digit, ".", "-", "_"), the end, or ":" and a digit (a
// port). Such a scheme that is "https" or one edit away from it (one letter
// added, dropped, changed, or two neighbours swapped; letter case ignored,
// so "http" too) must be written "https://" or "http://", followed by a
// host rather than another "/" or "\": "https//", "https:/", "https:\\",
// "https:///", "htps://", "hhtps://", "https;//" are near misses, which
// the split would take for plain HTTP. Other schemes are left alone.
AddressFault CheckServerAddress(const char* szAddress);

// Whether szHost is an IPv4 address that inet_addr reads but that is not
// written in the one dotted-decimal form of what it reads (leading zeros,
// octal, hexadecimal, fewer than four parts, trailing bytes): then true,
// with that form in szCanonical (16 bytes). Such a host would be connected
// as inet_addr reads it and verified as written.
bool IsMiswrittenAddress(const char* szHost, char* szCanonical);

// Turns szHost into dotted address text in szAddress (kTextSize bytes)
// through the host database; a host that is wholly a dotted IPv4 address
// ("192.0.2.7") is copied unchanged, an IPv6 address is copied in its
// usual text form ("2001:DB8:0::7" as "2001:db8::7"), any other
// ("2ndsite.example.com") is looked up for IPv4. A name too long for
// szAddress is refused. szAddress is written only on true.
bool ResolveHostName(const char* szHost, char* szAddress);

// The first IPv6 address of szHost's answer for both families
// (winsock::LookupAllAddresses), as text in szAddress (kTextSize bytes),
// for a name that has no IPv4 address. szAddress is written only on true.
bool GetIpv6AddressByName(const char* szHost, char* szAddress);

// As ResolveHostName, then falls back on the name service (all name
// spaces), taking the first IPv4 address of its answer that converts to
// text (winsock::LookupHostAddress), and last on the first IPv6 address
// (GetIpv6AddressByName). szAddress is written only on true.
bool GetIPAddressByName(const char* szHost, char* szAddress);

// Whether szText is wholly an IPv6 address (no brackets, no zone).
bool IsIpv6Address(const char* szText);

// The host as a URL, a request line and a Host line name it: an IPv6
// address in brackets ("[::1]"), any other host as it is.
std::string BracketedHost(const char* szHost);

// Converts NUL-terminated UTF-16 into UTF-8 in szOut (iSize bytes). False,
// with szOut untouched, unless the text and its NUL fit.
bool WideToUTF8(const char16_t* wszText, char* szOut, std::int32_t iSize);

}  // namespace Utility

// The URL as the log may show it: the value of each "Password=" query
// field replaced with "***".
std::string LoggableUrl(const char* szURL);

// Percent-encodes a query value: letters, digits, "-", "_" and "." stay,
// a space becomes "+", every other byte "%XX" (upper-case hex).
std::string UrlEncode(const std::string& szValue);
