#include <gtest/gtest.h>

#include <sys/stat.h>

#include "Options.h"
#include "support/TestFiles.h"

using namespace backupservice;

namespace {

// What parseOptions() said, and the options it parsed.
struct Parsed {
    Status status;
    Options options;
};

Parsed parse(const std::vector<std::string>& args) {
    Parsed parsed;
    parsed.status = parseOptions(args, &parsed.options);
    return parsed;
}

}  // namespace

TEST(OptionsTest, DefaultsToLoopbackWithPickedPort) {
    const Parsed r = parse({"--database", "db.sqlite", "--account", "a@b.c:pw"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.listen.host, "127.0.0.1");
    EXPECT_EQ(r.options.listen.port, 0);
    EXPECT_FALSE(r.options.listenGiven);
    EXPECT_EQ(r.options.database, "db.sqlite");
}

TEST(OptionsTest, FirstColonSeparatesEmailFromPassword) {
    const Parsed r = parse({"--database=d", "--account", "a@b.c:pa:ss:", "--account=x@y.z:: :"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    ASSERT_EQ(r.options.accounts.size(), 2u);
    EXPECT_EQ(r.options.accounts[0].email, "a@b.c");
    EXPECT_EQ(r.options.accounts[0].password, "pa:ss:");
    EXPECT_EQ(r.options.accounts[1].email, "x@y.z");
    EXPECT_EQ(r.options.accounts[1].password, ": :");
}

TEST(OptionsTest, ListenAddressForms) {
    Parsed r = parse({"--listen", "127.0.0.2:8080", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.listen.text(), "127.0.0.2:8080");
    EXPECT_TRUE(r.options.listenGiven);

    r = parse({"--listen", "[::1]:0", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_TRUE(r.options.listen.ipv6);
    EXPECT_EQ(r.options.listen.text(), "[::1]:0");

    r = parse({"--listen", "localhost:65535", "--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.listen.text(), "127.0.0.1:65535");
}

TEST(OptionsTest, RejectsBadInput) {
    const std::vector<std::vector<std::string>> bad = {
        {"--account", "a:b"},  // no database
        {"--database", "d"},   // no account
        {"--database", "d", "--account", "nocolon"},
        {"--database", "d", "--account", ":pw"},     // empty e-mail
        {"--database", "d", "--account", "a@b.c:"},  // empty password
        {"--database", "d", "--account", "a@b.c:x", "--account", "A@B.C:y"},
        {"--database", "d", "--account", "a:b", "--listen", "example.com:80"},
        {"--database", "d", "--account", "a:b", "--listen", "127.0.0.1:65536"},
        {"--database", "d", "--account", "a:b", "--listen", "127.0.0.1"},
        {"--database", "d", "--account", "a:b", "--listen", "[::1]8080"},
        {"--database", "d", "--account", "a:b", "--verbose"},
        {"--database"},
        {"--database", "d", "--accounts-file", "a", "--accounts-file", "b"},
        {"--database", "d", "--accounts-file="},
        {"--database", "d", "--account", "a:b", "--tls-cert", "c.pem"},  // no key
        {"--database", "d", "--account", "a:b", "--tls-key", "k.pem"},   // no certificate
        {"--database", "d", "--account", "a:b", "--stop-grace", "-1"},
        {"--database", "d", "--account", "a:b", "--stop-grace", "86401"},
        {"--database", "d", "--account", "a:b", "--stall-timeout", "0"},
        {"--database", "d", "--account", "a:b", "--stall-timeout", "5s"},
        {"--database", "d", "--account", "a:b", "--verify", "full"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "proxy.example.com"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "[::1]"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "10.0.0.0/33"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "fd00::/129"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "10.0.0.0/"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "10.0.0.0/-8"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy", "::ffff:10.0.0.0/95"},
        {"--database", "d", "--account", "a:b", "--trusted-proxy"},
    };
    for (const auto& args : bad) {
        const Parsed r = parse(args);
        EXPECT_FALSE(r.status.ok()) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.status.message().empty());
    }
}

TEST(OptionsTest, StopStallVerifyAndTlsOptions) {
    Parsed r = parse({"--database", "d", "--account", "a:b"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.stopGraceSeconds, 30u);
    EXPECT_EQ(r.options.stallSeconds, 30u);
    EXPECT_EQ(r.options.verify, Verify::Quick);
    EXPECT_TRUE(r.options.tlsCertificate.empty());

    r = parse({"--database", "d", "--account", "a:b", "--stop-grace=0", "--stall-timeout", "2", "--verify", "none",
               "--tls-cert", "c.pem", "--tls-key=k.pem"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.stopGraceSeconds, 0u);
    EXPECT_EQ(r.options.stallSeconds, 2u);
    EXPECT_EQ(r.options.verify, Verify::None);
    EXPECT_EQ(r.options.tlsCertificate, "c.pem");
    EXPECT_EQ(r.options.tlsKey, "k.pem");
}

TEST(OptionsTest, ErrorsDoNotRepeatPasswords) {
    const Parsed r = parse({"--database", "d", "--account", "a@b.c:hunter2", "--account", "a@b.c:hunter3"});
    ASSERT_FALSE(r.status.ok());
    EXPECT_EQ(r.status.message().find("hunter"), std::string::npos) << r.status.message();
}

TEST(OptionsTest, AccountsFileIsReadWhenOnlyItsOwnerMayAccessIt) {
    Parsed r = parse({"--database", "d", "--accounts-file", "accounts"});
    ASSERT_TRUE(r.status.ok()) << r.status.message();
    EXPECT_EQ(r.options.accountsFile, "accounts");
    EXPECT_FALSE(r.options.accountOnCommandLine);

    testsupport::TempDir dir;
    const std::string path = dir.File("accounts");
    std::vector<std::string> warnings;
    const auto load = [&path, &warnings](const std::string& text, mode_t mode, std::vector<Account> accounts,
                                         std::string& error) {
        testsupport::WriteFile(path, text);
        ::chmod(path.c_str(), mode);
        warnings.clear();
        const Status loaded = loadAccountsFile(path, &accounts, &warnings);
        error = loaded.message();
        return loaded.ok() ? accounts : std::vector<Account>{};
    };
    std::string error;
    const std::vector<Account> read =
        load("# backup users\n\nuser@example.com:pa:ss word\r\nother@example.org:x\n", 0600, {}, error);
    ASSERT_EQ(read.size(), 2u) << error;
    EXPECT_EQ(read[0].email, "user@example.com");
    EXPECT_EQ(read[0].password, "pa:ss word");
    EXPECT_EQ(read[1].password, "x");
    EXPECT_TRUE(warnings.empty());

    // A byte-order mark is not part of the first address; a password that
    // ends in white space is kept, and warned of without being shown.
    const std::vector<Account> marked =
        load("\xEF\xBB\xBFuser@example.com:Never-Shown \r\nother@example.org:x\t\n", 0600, {}, error);
    ASSERT_EQ(marked.size(), 2u) << error;
    EXPECT_EQ(marked[0].email, "user@example.com");
    EXPECT_EQ(marked[0].password, "Never-Shown ");
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0], "--accounts-file " + path +
                               " line 1: the password of user@example.com "
                               "ends in white space, which is part of the password");
    EXPECT_NE(warnings[1].find(" line 2: the password of other@example.org "), std::string::npos);

    for (const mode_t mode : {0640, 0604, 0620, 0602}) {
        EXPECT_TRUE(load("user@example.com:Never-Shown\n", mode, {}, error).empty()) << mode;
        EXPECT_NE(error.find("chmod 600 " + path), std::string::npos) << error;
        EXPECT_EQ(error.find("Never-Shown"), std::string::npos) << error;
    }
    EXPECT_TRUE(load("user@example.com\n", 0600, {}, error).empty());
    EXPECT_NE(error.find("line 1 needs EMAIL:PASSWORD"), std::string::npos) << error;
    EXPECT_TRUE(load("# nobody\n", 0600, {}, error).empty());
    EXPECT_TRUE(load("a@b.c:Never-Shown\n", 0600, {{"A@B.C", "x"}}, error).empty());
    EXPECT_NE(error.find("given more than once"), std::string::npos) << error;
    EXPECT_EQ(error.find("Never-Shown"), std::string::npos) << error;
}

TEST(OptionsTest, HelpShowsUsage) {
    const Parsed h = parse({"--help"});
    ASSERT_TRUE(h.status.ok());
    EXPECT_TRUE(h.options.showHelp);
    const Parsed v = parse({"--version", "--no-such-option"});
    ASSERT_TRUE(v.status.ok());
    EXPECT_TRUE(v.options.showVersion);
    EXPECT_FALSE(v.options.showHelp);
    EXPECT_NE(usageText("BackupService").find("--version"), std::string::npos);
    EXPECT_NE(usageText("BackupService").find("--trusted-proxy ADDRESS[/BITS]"), std::string::npos);
    EXPECT_NE(usageText("BackupService").find("--account EMAIL:PASSWORD"), std::string::npos);
    EXPECT_NE(usageText("BackupService").find("--accounts-file PATH"), std::string::npos);
}

TEST(OptionsTest, LoopbackAddresses) {
    ListenAddress address;
    ASSERT_TRUE(parseListenAddress("127.1.2.3:1", &address).ok());
    EXPECT_TRUE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("[::1]:1", &address).ok());
    EXPECT_TRUE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("0.0.0.0:1", &address).ok());
    EXPECT_FALSE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("128.0.0.1:1", &address).ok());
    EXPECT_FALSE(isLoopback(address));
    ASSERT_TRUE(parseListenAddress("[::]:1", &address).ok());
    EXPECT_FALSE(isLoopback(address));
}
