#include "TrustedProxies.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace backupservice {

namespace {

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Reads a numeric address, an IPv4-mapped IPv6 one as IPv4; false for any
// other text.
bool readAddress(const std::string& text, AddressRange* out) {
    AddressRange address;
    if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
        address.prefixBits = 32;
    } else if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
        address.ipv6 = true;
        address.prefixBits = 128;
        if (std::memcmp(address.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
            std::memmove(address.bytes, address.bytes + 12, 4);
            std::memset(address.bytes + 4, 0, 12);
            address.ipv6 = false;
            address.prefixBits = 32;
        }
    } else {
        return false;
    }
    *out = address;
    return true;
}

std::string addressText(const AddressRange& address) {
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, address.bytes, text, sizeof text);
    return text;
}

bool contains(const AddressRange& range, const AddressRange& address) {
    if (range.ipv6 != address.ipv6) return false;
    const unsigned int whole = range.prefixBits / 8;
    if (std::memcmp(range.bytes, address.bytes, whole) != 0) return false;
    const unsigned int rest = range.prefixBits % 8;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (range.bytes[whole] & mask) == (address.bytes[whole] & mask);
}

// One entry of X-Forwarded-For: an address, "[IPv6]" or "[IPv6]:PORT", or
// "IPv4:PORT" as some proxies write it; blanks around it are dropped.
bool readForwarded(std::string entry, AddressRange* out) {
    const auto first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
    if (!entry.empty() && entry[0] == '[') {
        const auto close = entry.find(']');
        if (close == std::string::npos) return false;
        const std::string after = entry.substr(close + 1);
        if (!after.empty() && after[0] != ':') return false;
        entry = entry.substr(1, close - 1);
        return entry.find(':') != std::string::npos && readAddress(entry, out);
    }
    const auto colon = entry.find(':');
    if (colon != std::string::npos && entry.find(':', colon + 1) == std::string::npos) entry.erase(colon);
    return readAddress(entry, out);
}

}  // namespace

Status parseAddressRange(const std::string& text, AddressRange* out) {
    const Status invalid =
        Status::error("--trusted-proxy " + text + ": expected a numeric IPv4 or IPv6 address, or ADDRESS/BITS");
    const auto slash = text.find('/');
    const std::string address = text.substr(0, slash);
    AddressRange range;
    if (!readAddress(address, &range)) return invalid;
    // An IPv4-mapped range (::ffff:192.0.2.0/120) is its IPv4 range.
    const unsigned int skipped = !range.ipv6 && address.find(':') != std::string::npos ? 96 : 0;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos) {
            return invalid;
        }
        const unsigned int value = static_cast<unsigned int>(std::stoul(bits));
        if (value < skipped || value - skipped > range.prefixBits) return invalid;
        range.prefixBits = value - skipped;
    }
    *out = range;
    return Status();
}

bool TrustedProxies::trusts(const std::string& address) const {
    AddressRange read;
    if (!readAddress(address, &read)) return false;
    for (const AddressRange& range : ranges_) {
        if (contains(range, read)) return true;
    }
    return false;
}

std::string TrustedProxies::clientAddress(const std::string& peer, const std::string& forwardedFor) const {
    if (!trusts(peer)) return peer;
    std::string client = peer;
    for (size_t end = forwardedFor.size(); end != std::string::npos && end > 0;) {
        const auto comma = forwardedFor.rfind(',', end - 1);
        const size_t begin = comma == std::string::npos ? 0 : comma + 1;
        const std::string entry = forwardedFor.substr(begin, end - begin);
        end = comma;
        if (entry.find_first_not_of(" \t") == std::string::npos) continue;  // an empty list element
        AddressRange address;
        if (!readForwarded(entry, &address)) return client;
        client = addressText(address);
        if (!trusts(client)) return client;
    }
    return client;
}

}  // namespace backupservice
