#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TrustedProxies.h"

using namespace backupservice;

namespace {

TrustedProxies proxies(const std::vector<std::string>& texts) {
    std::vector<AddressRange> ranges;
    for (const std::string& text : texts) {
        AddressRange range;
        const Status parsed = parseAddressRange(text, &range);
        EXPECT_TRUE(parsed.ok()) << parsed.message();
        ranges.push_back(range);
    }
    return TrustedProxies(ranges);
}

}  // namespace

TEST(TrustedProxiesTest, RangesHoldTheirAddressesOnly) {
    const TrustedProxies trusted = proxies({"10.1.0.0/16", "192.0.2.7", "fd00:1::/32", "::ffff:198.51.100.0/120"});
    for (const char* address :
         {"10.1.0.0", "10.1.255.255", "192.0.2.7", "fd00:1:ffff::1", "::ffff:10.1.2.3", "198.51.100.9"}) {
        EXPECT_TRUE(trusted.trusts(address)) << address;
    }
    for (const char* address : {"10.2.0.1", "192.0.2.8", "fd00:2::1", "::10.1.2.3", "198.51.101.1", "-", ""}) {
        EXPECT_FALSE(trusted.trusts(address)) << address;
    }
    EXPECT_TRUE(proxies({"0.0.0.0/0"}).trusts("203.0.113.1"));
    EXPECT_FALSE(proxies({"0.0.0.0/0"}).trusts("2001:db8::1")) << "an IPv4 range holds no IPv6 address";
    EXPECT_TRUE(proxies({"10.0.0.128/25"}).trusts("10.0.0.200"));
    EXPECT_FALSE(proxies({"10.0.0.128/25"}).trusts("10.0.0.127"));
}

// The client is the last address of the list that is not a trusted proxy;
// a peer that is not trusted is the client whatever it sends.
TEST(TrustedProxiesTest, TheClientIsTheLastUntrustedForwardedAddress) {
    const TrustedProxies trusted = proxies({"127.0.0.2", "10.0.0.0/8", "::1"});
    const struct {
        const char* peer;
        const char* forwardedFor;
        const char* client;
    } cases[] = {
        {"127.0.0.2", "203.0.113.5", "203.0.113.5"},
        {"127.0.0.2", "198.51.100.1, 203.0.113.5", "203.0.113.5"},  // the left one could be forged
        {"127.0.0.2", "198.51.100.1, 203.0.113.5, 10.9.9.9", "203.0.113.5"},
        {"127.0.0.2", "10.1.1.1,10.2.2.2", "10.1.1.1"},  // all trusted: the first
        {"127.0.0.2", "", "127.0.0.2"},
        {"127.0.0.2", " , 203.0.113.5 ,", "203.0.113.5"},
        {"127.0.0.2", "203.0.113.5:4711", "203.0.113.5"},
        {"127.0.0.2", "[2001:DB8::0:1]:443", "2001:db8::1"},
        {"127.0.0.2", "::ffff:203.0.113.5", "203.0.113.5"},
        {"127.0.0.2", "203.0.113.5, unknown", "127.0.0.2"},  // garbage: the proxy is the client
        {"127.0.0.2", "203.0.113.5, garbage, 10.0.0.3", "10.0.0.3"},
        {"::1", "2001:db8::7", "2001:db8::7"},
        {"127.0.0.3", "203.0.113.5", "127.0.0.3"},  // not trusted: ignored
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trusted.clientAddress(c.peer, c.forwardedFor), c.client) << c.peer << " " << c.forwardedFor;
    }
    EXPECT_EQ(TrustedProxies().clientAddress("127.0.0.2", "203.0.113.5"), "127.0.0.2") << "no option, no change";
}
