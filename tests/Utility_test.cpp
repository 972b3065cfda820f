// The stateless network helpers: splitting a server URL, encoding query
// values, resolving host names (host database, then the name service) and
// the UTF-16 to UTF-8 conversion they use.
#include "utility/Utility.h"

#include "support/TestProcess.h"
#include "support/TestSeam.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Utility::GetDomainNameFromURL

struct SplitCase {
    const char* szName;
    const char* szURL;
    bool bResult;
    const char* szHost;
    std::int32_t iPort;
    const char* szPath;
};

class SplitURL : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitURL, HostPortPath) {
    const SplitCase& c = GetParam();
    std::vector<char> host(Utility::kTextSize, 'H'), path(Utility::kTextSize, 'P');
    std::int32_t iPort = -12345;
    EXPECT_EQ(c.bResult, Utility::GetDomainNameFromURL(c.szURL, host.data(), iPort, path.data()));
    EXPECT_STREQ(c.szHost, host.data());
    EXPECT_EQ(c.iPort, iPort);
    EXPECT_STREQ(c.szPath, path.data());
}

INSTANTIATE_TEST_SUITE_P(
    Utility, SplitURL,
    ::testing::Values(SplitCase{"NoScheme", "192.0.2.7:81/x", true, "192.0.2.7", 81, "/x"},
                      SplitCase{"HostOnly", "192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"Https", "https://192.0.2.7", true, "192.0.2.7", 443, ""},
                      SplitCase{"HttpsCapitals", "HTTPS://192.0.2.7", true, "192.0.2.7", 443, ""},
                      SplitCase{"HttpsMixedCase", "hTtPs://192.0.2.7/", true, "192.0.2.7", 443, "/"},
                      SplitCase{"ExplicitPortWins", "https://192.0.2.7:81/a/b", true, "192.0.2.7", 81, "/a/b"},
                      SplitCase{"Http", "http://example.com/x?y=1", true, "example.com", 80, "/x?y=1"},
                      SplitCase{"Ftp", "ftp://192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"EmptyScheme", "//192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"HttpsWithoutColon", "https//192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"SchemeWithPrefix", "xhttps://192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"SchemeWithSuffix", "https:x//192.0.2.7", true, "192.0.2.7", 80, ""},
                      SplitCase{"SlashesInPath", "a/b//c", true, "c", 80, ""},
                      SplitCase{"SpaceInPath", "192.0.2.7/a b", true, "192.0.2.7", 80, "/a"},
                      SplitCase{"SpaceBeforePort", "192.0.2.7 :81", true, "192.0.2.7", 80, ""},
                      SplitCase{"ColonInPath", "192.0.2.7/a:b", true, "192.0.2.7", 80, "/a:b"},
                      SplitCase{"EmptyPortText", "192.0.2.7:", false, "192.0.2.7", 80, ""},
                      SplitCase{"EmptyPortHttps", "https://192.0.2.7:/p", false, "192.0.2.7", 443, "/p"},
                      SplitCase{"LetterPort", "192.0.2.7:abc/p", false, "192.0.2.7", 80, "/p"},
                      SplitCase{"ZeroPort", "192.0.2.7:0", false, "192.0.2.7", 80, ""},
                      SplitCase{"MinusZeroPort", "192.0.2.7:-0", false, "192.0.2.7", 80, ""},
                      SplitCase{"PortWithLetters", "192.0.2.7:81abc", true, "192.0.2.7", 81, ""},
                      SplitCase{"PlusPort", "192.0.2.7:+81", true, "192.0.2.7", 81, ""},
                      SplitCase{"TabBeforePort", "192.0.2.7:\t81", true, "192.0.2.7", 81, ""},
                      // Only 1 to 65535 is a port; nothing else becomes one.
                      SplitCase{"NegativePort", "192.0.2.7:-1", false, "192.0.2.7", 80, ""},
                      SplitCase{"HighestPort", "https://192.0.2.7:65535", true, "192.0.2.7", 65535, ""},
                      SplitCase{"PortAbove65535", "https://192.0.2.7:65536", false, "192.0.2.7", 443, ""},
                      SplitCase{"PortThatWouldTruncateTo80", "192.0.2.7:65616", false, "192.0.2.7", 80, ""},
                      SplitCase{"SecondColon", "192.0.2.7:81:82", true, "192.0.2.7", 81, ""},
                      SplitCase{"UserInfo", "http://user:pw@192.0.2.7/p", false, "user", 80, "/p"},
                      SplitCase{"UserInfoNumber", "user:8pw@192.0.2.7/p", true, "user", 8, "/p"},
                      // An IPv6 address in brackets: its colons are the host's, the port follows "]:".
                      SplitCase{"Ipv6WithPort", "http://[2001:db8::7]:8080/x", true, "2001:db8::7", 8080, "/x"},
                      SplitCase{"Ipv6Https", "https://[::1]", true, "::1", 443, ""},
                      SplitCase{"Ipv6EmptyPort", "[::1]:", false, "::1", 80, ""},
                      SplitCase{"Ipv6BadPort", "[::1]:0/p", false, "::1", 80, "/p"},
                      SplitCase{"Ipv6Unclosed", "http://[::1:8080/x", false, "", 80, "/x"},
                      SplitCase{"Ipv6TextAfterBracket", "[::1]8080", false, "", 80, ""},
                      SplitCase{"Ipv4InBrackets", "[192.0.2.7]:81", false, "", 80, ""},
                      SplitCase{"Ipv6WithZone", "[fe80::1%25eth0]:81", false, "", 80, ""},
                      SplitCase{"Ipv6Unbracketed", "::1", false, "", 80, ""}, SplitCase{"Empty", "", true, "", 80, ""},
                      SplitCase{"SchemeAlone", "http://", true, "", 80, ""},
                      SplitCase{"HttpsAlone", "https://", true, "", 443, ""},
                      SplitCase{"RequestURL", "192.0.2.7:8080/as/wapi/retrieve_db?Email=a%40b.c&Password=x%3Ay", true,
                                "192.0.2.7", 8080, "/as/wapi/retrieve_db?Email=a%40b.c&Password=x%3Ay"},
                      // Too large is too large, never wrapped: 2^32 + 81 is not 81.
                      SplitCase{"PortThatWouldWrapTo81", "192.0.2.7:4294967377", false, "192.0.2.7", 80, ""},
                      SplitCase{"PortThatWouldWrapToZero", "192.0.2.7:4294967296", false, "192.0.2.7", 80, ""},
                      SplitCase{"PortOverflows", "192.0.2.7:99999999999", false, "192.0.2.7", 80, ""}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.szName); });

// TLS is chosen by the same scheme rule that gives port 443.
TEST(Utility, SecureUrlsAreTheHttpsSchemeInAnyCase) {
    for (const char* szURL : {"https://192.0.2.7", "HtTpS://host:81/p", "https://"}) {
        EXPECT_TRUE(Utility::IsSecureURL(szURL)) << szURL;
    }
    for (const char* szURL : {"http://host", "https//host", "xhttps://host", "https:x//host", "host/https://x", ""}) {
        EXPECT_FALSE(Utility::IsSecureURL(szURL)) << szURL;
    }
}

// A scheme one edit from "https" must be written "https://" or "http://";
// a host that merely begins with such letters, and other schemes, pass.
TEST(Utility, NearMissesOfHttpsAreTheOnlyRefusedSchemes) {
    for (const char* szAddress : {"https://h", "HTTP://h:81/p", "https.example.com", "https-backup:8443", "https:8443",
                                  "httpserver.lan", "ftp://h", "hxxps://h", "h", "192.0.2.7:81/x", ""}) {
        EXPECT_EQ(Utility::AddressFault::None, Utility::CheckServerAddress(szAddress)) << szAddress;
    }
    for (const char* szAddress : {"httpss://h", "htttps://h", "HTPTS://h", "httsp://h", "ttps://h", "https:h",
                                  "http:/h", "https://\\h", "https:h//x"}) {
        EXPECT_EQ(Utility::AddressFault::NearHttps, Utility::CheckServerAddress(szAddress)) << szAddress;
    }
    EXPECT_EQ(Utility::AddressFault::WhiteSpace, Utility::CheckServerAddress("\nhttps://h"));
}

// A numeric host is kept only in the dotted-decimal form of what inet_addr
// reads; the form is given for the log.
// An address naming an IPv6 host in brackets passes every check as it is.
TEST(Utility, BracketedIpv6AddressesPassTheAddressChecks) {
    for (const char* szAddress :
         {"http://[2001:db8::7]:8080", "https://[::1]", "[::1]:81/x", "HTTPS://[::ffff:192.0.2.7]"}) {
        EXPECT_EQ(Utility::AddressFault::None, Utility::CheckServerAddress(szAddress)) << szAddress;
    }
    EXPECT_EQ(Utility::AddressFault::NearHttps, Utility::CheckServerAddress("https//[::1]"));
    char szCanonical[16];
    for (const char* szHost : {"::1", "2001:db8::7", "::ffff:192.0.2.7"}) {
        EXPECT_FALSE(Utility::IsMiswrittenAddress(szHost, szCanonical)) << szHost;
    }
    EXPECT_EQ("[2001:db8::7]", Utility::BracketedHost("2001:db8::7"));
    EXPECT_EQ("192.0.2.7", Utility::BracketedHost("192.0.2.7"));
}

TEST(Utility, MiswrittenNumericHostsAreToldWithTheirAddress) {
    char szCanonical[16] = "";
    for (const char* szHost : {"192.0.2.7", "255.255.255.255", "host.example", "1.2.3.4.5", "256.0.0.1"}) {
        EXPECT_FALSE(Utility::IsMiswrittenAddress(szHost, szCanonical)) << szHost;
    }
    EXPECT_TRUE(Utility::IsMiswrittenAddress("127.000.000.010", szCanonical));
    EXPECT_STREQ("127.0.0.8", szCanonical);
    EXPECT_TRUE(Utility::IsMiswrittenAddress("3232235777", szCanonical));
    EXPECT_STREQ("192.168.1.1", szCanonical);
}

// Texts beyond the working buffers (4096 bytes for the URL, 32 for the
// scheme part and the port text) are refused, with host and path empty.
TEST(Utility, SplitRefusesOversizedParts) {
    struct LimitCase {
        const char* szName;
        std::string url;
        bool bResult;
        std::int32_t iPort;
    };
    const std::string szHost = "192.0.2.7";
    const LimitCase cases[] = {
        {"Url4095", szHost + "/" + std::string(4095 - szHost.size() - 1, 'p'), true, 80},
        {"Url4096", szHost + "/" + std::string(4096 - szHost.size() - 1, 'p'), false, 80},
        {"Url4096WithScheme", "http://" + szHost + "/" + std::string(4096 - 7 - szHost.size() - 1, 'p'), false, 80},
        {"Url8000", std::string(8000, 'h'), false, 80},
        {"Scheme31", std::string(30, 'x') + "://" + szHost, true, 80},
        {"Scheme32", std::string(31, 'x') + "://" + szHost, false, 80},
        {"PortText31", szHost + ":" + std::string(29, '0') + "81/p", true, 81},
        {"PortText32", szHost + ":" + std::string(30, '0') + "81/p", false, 80},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.szName);
        std::vector<char> host(Utility::kTextSize, 'H'), path(Utility::kTextSize, 'P');
        std::int32_t iPort = 0;
        EXPECT_EQ(c.bResult, Utility::GetDomainNameFromURL(c.url.c_str(), host.data(), iPort, path.data()));
        EXPECT_EQ(c.iPort, iPort);
        if (c.bResult) {
            EXPECT_STREQ(szHost.c_str(), host.data());
        } else {
            EXPECT_EQ(0u, std::strlen(host.data()));
            EXPECT_EQ(0u, std::strlen(path.data()));
        }
    }
}

// ---------------------------------------------------------------------------
// UrlEncode

TEST(Utility, UrlEncodeExamples) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"a b", "a+b"},
        {"a+b", "a%2Bb"},
        {"~", "%7E"},
        {"first.last-name_1@example.com", "first.last-name_1%40example.com"},
        {"\xC3\xA9", "%C3%A9"},
        {"%/:&= *", "%25%2F%3A%26%3D+%2A"},
        {std::string("a\0b", 3), "a%00b"},
        {"AZaz09", "AZaz09"},
        {"\xff\x80\x7f", "%FF%80%7F"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.out, UrlEncode(c.in)) << c.in;
    }
}

// Each of the 256 byte values against the rule: letters, digits, "-", "_"
// and "." stay, a space becomes "+", all else "%XX" in upper-case hex.
TEST(Utility, UrlEncodeEveryByte) {
    const std::string szKept = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.";
    std::string szAll, szExpected;
    for (int i = 0; i < 256; ++i) {
        const char c = static_cast<char>(i);
        szAll += c;
        std::string szOne;
        if (szKept.find(c) != std::string::npos) {
            szOne = std::string(1, c);
        } else if (i == 0x20) {
            szOne = "+";
        } else {
            char szHex[4];
            std::snprintf(szHex, sizeof szHex, "%%%02X", i);
            szOne = szHex;
        }
        EXPECT_EQ(szOne, UrlEncode(std::string(1, c))) << "byte " << i;
        szExpected += szOne;
    }
    EXPECT_EQ(szExpected, UrlEncode(szAll));
    EXPECT_EQ(szKept.size() + 1 + 3 * (256 - szKept.size() - 1), szExpected.size());
}

// ---------------------------------------------------------------------------
// Host name resolution

class Resolve : public ::testing::Test {
protected:
    void SetUp() override { seam::Reset(); }
    void TearDown() override { seam::Reset(); }

    // An output buffer with an earlier content that a failed call must keep.
    struct Output {
        std::vector<char> bytes;
        Output() : bytes(Utility::kTextSize, 'Z') { std::memcpy(bytes.data(), "KEEP", 5); }
        char* data() { return bytes.data(); }
        bool Untouched() const {
            if (std::strcmp(bytes.data(), "KEEP") != 0) return false;
            for (std::size_t i = 5; i < bytes.size(); ++i) {
                if (bytes[i] != 'Z') return false;
            }
            return true;
        }
    };

    // Makes every look-up fail, so a true result proves that none was made.
    static void ForbidLookups() {
        seam::FailNext(seam::Call::GetHostByName, 11001, 100);
        seam::FailNext(seam::Call::LookupServiceBegin, 11001, 100);
    }
};

// A host that is wholly a dotted IPv4 address is copied unchanged.
TEST_F(Resolve, AddressTextsPassThroughWithoutLookup) {
    const char* names[] = {"192.0.2.7", "0.0.0.0", "255.255.255.255", "10.0.0.1"};
    for (const char* szName : names) {
        SCOPED_TRACE(szName);
        ForbidLookups();
        Output direct, byName;
        EXPECT_TRUE(Utility::ResolveHostName(szName, direct.data()));
        EXPECT_STREQ(szName, direct.data());
        EXPECT_TRUE(Utility::GetIPAddressByName(szName, byName.data()));
        EXPECT_STREQ(szName, byName.data());
    }
}

// An IPv6 address is copied in its usual text form, without a look-up.
TEST_F(Resolve, Ipv6AddressTextsPassThroughInTheirUsualForm) {
    const char* cases[][2] = {{"::1", "::1"}, {"2001:DB8:0:0::7", "2001:db8::7"}, {"0:0:0:0:0:0:0:1", "::1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        ForbidLookups();
        Output direct, byName;
        EXPECT_TRUE(Utility::ResolveHostName(c[0], direct.data()));
        EXPECT_STREQ(c[1], direct.data());
        EXPECT_TRUE(Utility::GetIPAddressByName(c[0], byName.data()));
        EXPECT_STREQ(c[1], byName.data());
    }
}

// A name with an IPv4 address keeps it, wherever IPv6 addresses stand in
// the answer; a name with none gets its first IPv6 address.
TEST_F(Resolve, FirstIpv6AddressServesANameWithoutIpv4) {
    seam::ScriptNameService("both.test", {seam::MakeIpv6Address("2001:db8::1"), seam::MakeIpv4Address("192.0.2.3", 0)});
    seam::ScriptNameService("six.test", {seam::MakeUnconvertibleAddress(), seam::MakeIpv6Address("2001:DB8::2"),
                                         seam::MakeIpv6Address("2001:db8::3")});
    seam::ScriptNameService("neither.test", {seam::MakeUnconvertibleAddress()});
    const char* cases[][2] = {{"both.test", "192.0.2.3"}, {"six.test", "2001:db8::2"}, {"neither.test", nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[0]);
        seam::FailNext(seam::Call::GetHostByName, 11001);
        Output out;
        EXPECT_EQ(c[1] != nullptr, Utility::GetIPAddressByName(c[0], out.data()));
        if (c[1] != nullptr) {
            EXPECT_STREQ(c[1], out.data());
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
}

// Every other host goes to the host database, names that merely begin
// with a number among them; with that failing, ResolveHostName fails.
TEST_F(Resolve, OtherNamesAreLookedUp) {
    const char* names[] = {
        "2ndsite.example.com", "42abc.x",  "10.0.0.1.extra", " 7.x",        "-1.x",  "+3.y",      "1.", "1.2.3",
        "256.1.1.1",           "1.2.3.4 ", "1.2.3.0004",     "abc.example", "12345", "localhost", ".7", ""};
    for (const char* szName : names) {
        SCOPED_TRACE(szName);
        seam::FailNext(seam::Call::GetHostByName, 11001);
        Output out;
        EXPECT_FALSE(Utility::ResolveHostName(szName, out.data()));
        EXPECT_TRUE(out.Untouched());
    }
}

TEST_F(Resolve, LocalhostThroughHostDatabase) {
    Output direct, byName;
    ASSERT_TRUE(Utility::ResolveHostName("localhost", direct.data()));
    EXPECT_STREQ("127.0.0.1", direct.data());
    // The host database answers first: the name service is never asked.
    seam::FailNext(seam::Call::LookupServiceBegin, 11001, 100);
    ASSERT_TRUE(Utility::GetIPAddressByName("localhost", byName.data()));
    EXPECT_STREQ("127.0.0.1", byName.data());
}

TEST_F(Resolve, UnknownNameFails) {
    Output direct, byName;
    EXPECT_FALSE(Utility::ResolveHostName("no-such-host.invalid", direct.data()));
    EXPECT_TRUE(direct.Untouched());
    EXPECT_FALSE(Utility::GetIPAddressByName("no-such-host.invalid", byName.data()));
    EXPECT_TRUE(byName.Untouched());
}

// The empty name is not refused but handed to the host database as it is.
// The C library has no entry for it; Winsock answers it with the local
// host's own address.
TEST_F(Resolve, EmptyNameGoesToHostDatabase) {
    Output direct, byName;
    const bool bDirect = Utility::ResolveHostName("", direct.data());
    const bool bByName = Utility::GetIPAddressByName("", byName.data());
    if (testprocess::BuiltForWindows() && bDirect) {
        EXPECT_NE(std::string::npos, std::string(direct.data()).find('.')) << direct.data();
        EXPECT_TRUE(bByName);
        EXPECT_STREQ(direct.data(), byName.data());
        return;
    }
    EXPECT_FALSE(bDirect);
    EXPECT_TRUE(direct.Untouched());
    EXPECT_FALSE(bByName);
    EXPECT_TRUE(byName.Untouched());
}

// Only the name service knows these names. The host database is made to
// fail for them so that no outside look-up is attempted.
TEST_F(Resolve, NameServiceTakesFirstConvertibleAddress) {
    seam::ScriptNameService("only-ns.test", {seam::MakeUnconvertibleAddress(), seam::MakeIpv4Address("192.0.2.9", 0)});
    seam::ScriptNameService("two.test", {seam::MakeIpv4Address("192.0.2.1", 0), seam::MakeIpv4Address("192.0.2.2", 0)});
    seam::ScriptNameService("none.test", {seam::MakeUnconvertibleAddress(), seam::MakeUnconvertibleAddress()});
    seam::ScriptNameService("empty.test", {});
    seam::ScriptNameService("2ndsite.example.test", {seam::MakeIpv4Address("192.0.2.5", 0)});

    const struct {
        const char* szName;
        bool bResult;
        const char* szAddress;
    } cases[] = {
        {"only-ns.test", true, "192.0.2.9"},
        {"two.test", true, "192.0.2.1"},
        {"none.test", false, nullptr},
        {"empty.test", false, nullptr},
        {"2ndsite.example.test", true, "192.0.2.5"},  // a digit first is still a name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        seam::FailNext(seam::Call::GetHostByName, 11001);
        Output out;
        EXPECT_EQ(c.bResult, Utility::GetIPAddressByName(c.szName, out.data()));
        if (c.bResult) {
            EXPECT_STREQ(c.szAddress, out.data());
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
}

// An answer larger than the 1024-byte result buffer is not fetched. As
// Windows counts it (the query set 120 bytes, the class GUID 16, the name
// in UTF-16, 72 per IPv4 address), 12 addresses fit and 13 do not.
TEST_F(Resolve, NameServiceAnswerTooLarge) {
    std::vector<seam::ScriptedAddress> many;
    for (int i = 0; i < 13; ++i) many.push_back(seam::MakeIpv4Address("192.0.2.10", 0));
    seam::ScriptNameService("many.test", many);
    seam::ScriptNameService("fewer.test", std::vector<seam::ScriptedAddress>(many.begin(), many.begin() + 12));
    seam::FailNext(seam::Call::GetHostByName, 11001);
    Output fewer;
    EXPECT_TRUE(Utility::GetIPAddressByName("fewer.test", fewer.data()));
    EXPECT_STREQ("192.0.2.10", fewer.data());
    seam::FailNext(seam::Call::GetHostByName, 11001);
    Output out;
    EXPECT_FALSE(Utility::GetIPAddressByName("many.test", out.data()));
    EXPECT_TRUE(out.Untouched());
}

TEST_F(Resolve, NameServiceCallFailures) {
    const struct {
        const char* szName;
        seam::Call call;
        int iTimes;
        bool bResult;
        const char* szAddress;
    } cases[] = {
        {"BeginFails", seam::Call::LookupServiceBegin, 1, false, nullptr},
        {"NextFails", seam::Call::LookupServiceNext, 1, false, nullptr},
        {"FirstConversionFails", seam::Call::AddressToString, 1, true, "192.0.2.2"},
        {"AllConversionsFail", seam::Call::AddressToString, 2, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        seam::Reset();
        seam::ScriptNameService("two.test",
                                {seam::MakeIpv4Address("192.0.2.1", 0), seam::MakeIpv4Address("192.0.2.2", 0)});
        seam::FailNext(seam::Call::GetHostByName, 11001);
        seam::FailNext(c.call, 10022, c.iTimes);
        Output out;
        EXPECT_EQ(c.bResult, Utility::GetIPAddressByName("two.test", out.data()));
        if (c.bResult) {
            EXPECT_STREQ(c.szAddress, out.data());
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
}

// The name service takes names of fewer than 512 UTF-16 units; the limit
// counts units, not UTF-8 bytes.
TEST_F(Resolve, NameServiceNameLength) {
    std::string sz511Units, sz512Units;
    for (int i = 0; i < 511; ++i) sz511Units += "\xC3\xA9";  // U+00E9: one unit, two bytes
    sz512Units = sz511Units + "\xC3\xA9";
    const struct {
        const char* szName;
        std::string name;
        bool bResult;
    } cases[] = {
        {"Ascii511", std::string(511, 'n'), true},
        {"Ascii512", std::string(512, 'n'), false},
        {"Ascii600", std::string(600, 'n'), false},
        {"Wide511", sz511Units, true},
        {"Wide512", sz512Units, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        // A DNS name has at most 253 bytes: the answer names the host the
        // long name stands for.
        seam::ScriptNameService(c.name, {seam::MakeIpv4Address("192.0.2.11", 0)}, "host.test");
        seam::FailNext(seam::Call::GetHostByName, 11001);
        Output out;
        EXPECT_EQ(c.bResult, Utility::GetIPAddressByName(c.name.c_str(), out.data()));
        if (c.bResult) {
            EXPECT_STREQ("192.0.2.11", out.data());
        } else {
            EXPECT_TRUE(out.Untouched());
        }
    }
}

// ---------------------------------------------------------------------------
// Utility::WideToUTF8

TEST(Utility, WideToUTF8) {
    const struct {
        const char* szName;
        const char16_t* wszText;
        std::int32_t iSize;
        bool bResult;
        const char* szExpected;
    } cases[] = {
        {"Empty", u"", 1, true, ""},
        {"EmptyLargeBuffer", u"", 16, true, ""},
        {"AsciiFits", u"abc", 4, true, "abc"},
        {"AsciiExactlyBufferSize", u"abcd", 4, false, nullptr},
        {"NonAscii", u"\u00e9\u20ac\U0001F600", 10, true, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"NonAsciiExactlyBufferSize", u"\u00e9\u20ac\U0001F600", 9, false, nullptr},
        {"ZeroSize", u"", 0, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        char aOut[32];
        std::memset(aOut, 'Z', sizeof aOut);
        EXPECT_EQ(c.bResult, Utility::WideToUTF8(c.wszText, aOut, c.iSize));
        if (c.bResult) {
            EXPECT_STREQ(c.szExpected, aOut);
        }
        for (std::size_t i = c.bResult ? std::strlen(aOut) + 1 : 0; i < sizeof aOut; ++i) {
            ASSERT_EQ('Z', aOut[i]) << "byte " << i;
        }
    }
}

}  // namespace
