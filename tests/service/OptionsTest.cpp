#include <gtest/gtest.h>

#include "Options.h"

using namespace backupservice;

namespace {

ParseResult parse(std::vector<std::string> args) { return parseOptions(args); }

}  // namespace

TEST(OptionsTest, DefaultsToLoopbackWithPickedPort) {
    const ParseResult r = parse({"--database", "db.sqlite", "--account", "a@b.c:pw"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.listen.host, "127.0.0.1");
    EXPECT_EQ(r.options.listen.port, 0);
    EXPECT_FALSE(r.options.listenGiven);
    EXPECT_EQ(r.options.database, "db.sqlite");
}

TEST(OptionsTest, FirstColonSeparatesEmailFromPassword) {
    const ParseResult r =
        parse({"--database=d", "--account", "a@b.c:pa:ss:", "--account=x@y.z:: :"});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.accounts.size(), 2u);
    EXPECT_EQ(r.options.accounts[0].email, "a@b.c");
    EXPECT_EQ(r.options.accounts[0].password, "pa:ss:");
    EXPECT_EQ(r.options.accounts[1].email, "x@y.z");
    EXPECT_EQ(r.options.accounts[1].password, ": :");
}

TEST(OptionsTest, ListenAddressForms) {
    ParseResult r = parse({"--listen", "127.0.0.2:8080", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.listen.text(), "127.0.0.2:8080");
    EXPECT_TRUE(r.options.listenGiven);

    r = parse({"--listen", "[::1]:0", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.listen.ipv6);
    EXPECT_EQ(r.options.listen.text(), "[::1]:0");

    r = parse({"--listen", "localhost:65535", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.listen.text(), "127.0.0.1:65535");
}

TEST(OptionsTest, RejectsBadInput) {
    const std::vector<std::vector<std::string>> bad = {
        {"--account", "a:b"},                                       // no database
        {"--database", "d"},                                        // no account
        {"--database", "d", "--account", "nocolon"},
        {"--database", "d", "--account", ":pw"},                    // empty e-mail
        {"--database", "d", "--account", "a@b.c:"},                 // empty password
        {"--database", "d", "--account", "a@b.c:x", "--account", "A@B.C:y"},
        {"--database", "d", "--account", "a:b", "--listen", "example.com:80"},
        {"--database", "d", "--account", "a:b", "--listen", "127.0.0.1:65536"},
        {"--database", "d", "--account", "a:b", "--listen", "127.0.0.1"},
        {"--database", "d", "--account", "a:b", "--listen", "[::1]8080"},
        {"--database", "d", "--account", "a:b", "--verbose"},
        {"--database"},
    };
    for (const auto& args : bad) {
        const ParseResult r = parse(args);
        EXPECT_FALSE(r.ok) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(OptionsTest, ErrorsDoNotRepeatPasswords) {
    const ParseResult r = parse({"--database", "d", "--account", "a@b.c:hunter2",
                                 "--account", "a@b.c:hunter3"});
    ASSERT_FALSE(r.ok);
    EXPECT_EQ(r.error.find("hunter"), std::string::npos) << r.error;
}

TEST(OptionsTest, HelpShowsUsage) {
    const ParseResult h = parse({"--help"});
    ASSERT_TRUE(h.ok);
    EXPECT_TRUE(h.options.showHelp);
    EXPECT_NE(usageText("BackupService").find("--account EMAIL:PASSWORD"), std::string::npos);
}

TEST(OptionsTest, LoopbackAddresses) {
    ListenAddress address;
    std::string error;
    ASSERT_TRUE(parseListenAddress("127.1.2.3:1", address, error));
    EXPECT_TRUE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("[::1]:1", address, error));
    EXPECT_TRUE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("0.0.0.0:1", address, error));
    EXPECT_FALSE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("128.0.0.1:1", address, error));
    EXPECT_FALSE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("[::]:1", address, error));
    EXPECT_FALSE(isLoopback(address));
}
