// The reverse proxies (--trusted-proxy) whose X-Forwarded-For header names
// the client a request comes from. The header of any other peer is ignored:
// a client could write anything there.
#pragma once

#include <string>
#include <vector>

#include "Status.h"

namespace backupservice {

// An IPv4 or IPv6 network: an address and how many of its leading bits
// count (32 or 128 for a single address).
struct AddressRange {
    bool ipv6 = false;
    unsigned char bytes[16] = {};  // 4 used for IPv4, in network order
    unsigned int prefixBits = 0;
};

// Parses "ADDRESS" or "ADDRESS/BITS", a numeric IPv4 or IPv6 address
// (without brackets); *out is written only on success.
Status parseAddressRange(const std::string& text, AddressRange* out);

class TrustedProxies {
public:
    TrustedProxies() = default;
    explicit TrustedProxies(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}

    bool empty() const { return ranges_.empty(); }
    // Whether the numeric address lies in one of the ranges; an IPv4-mapped
    // IPv6 address (::ffff:192.0.2.1) counts as its IPv4 address.
    bool trusts(const std::string& address) const;
    // The client behind `peer`, the address the connection came from:
    // `peer` itself unless it is trusted; then, walking `forwardedFor` (the
    // X-Forwarded-For values joined by commas, the nearest hop last) from
    // its end, the first address that is not trusted, or the first of the
    // list when all are. A value that is no address ends the walk: the hop
    // that passed it on is the client. Addresses come out in their shortest
    // numeric form, an IPv4-mapped one as IPv4.
    std::string clientAddress(const std::string& peer, const std::string& forwardedFor) const;

private:
    std::vector<AddressRange> ranges_;
};

}  // namespace backupservice
