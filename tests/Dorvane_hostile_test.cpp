// End-to-end: hostile servers and bad input. Neither may crash the program,
// make it write past a buffer, or make it keep a broken backup; each ends
// with its records and the exit status its fault gives.
#include "support/ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// The one backup a run saved, or "" (with a failure) when there is not
// exactly one.
class HostileServer : public DorvaneRun {
protected:
    std::string SavedBackup() {
        const auto backups = Backups();
        EXPECT_EQ(1u, backups.size());
        return backups.size() == 1 ? ReadFile(m_work.File(backups[0])) : std::string();
    }
};

}  // namespace

TEST_F(HostileServer, HeaderFloodBeforeTheBodyStillYieldsTheBody) {
    std::string header = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 200000; ++i) header += "X-Flood-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
    ScriptedServer server({Reply(header + "\r\nthe body")});
    ConfigureFor(server);
    EXPECT_EQ(0, Run({}).iExitCode);
    EXPECT_EQ("the body", SavedBackup());
}

TEST_F(HostileServer, NulAndBinaryBytesInTheHeaderAreCarriedThrough) {
    const char kHeader[] = "HTTP/1.0 200 OK\r\nX-Bin: \0\x01\xff\x7f\r\nX-Nul\0: x\r\n";
    const std::string header(kHeader, sizeof kHeader - 1);
    ScriptedServer server({Reply(header + "\r\n" + BinaryBody(1000))});
    ConfigureFor(server);
    Run({});
    EXPECT_EQ(BinaryBody(1000), SavedBackup());
}

TEST_F(HostileServer, ReplyFarLargerThanTheReceivePiecesIsSavedWhole) {
    const std::string body = BinaryBody(24 * 1024 * 1024);
    ScriptedServer server({Reply(HttpReply(body))});
    ConfigureFor(server);
    Run({});
    EXPECT_TRUE(SavedBackup() == body);
}

TEST_F(HostileServer, TricklingServerWithinTheInactivityTimeOutIsWaitedFor) {
    ScriptedServer server({ReplyInPieces(HttpReply("slow"), 22, 2500)});
    ConfigureFor(server);
    Run({});
    EXPECT_EQ("slow", SavedBackup());
}

// A keep-alive server sends the whole reply and keeps the connection open:
// the run ends as soon as the reply is complete or refused by its header,
// never at the time-out (record 195). Bytes past the Content-Length in the
// same read make the reply overlong.
TEST_F(HostileServer, KeepAliveServerIsLeftAsSoonAsTheReplyIsComplete) {
    const std::string failure = "<__Status__>FAILED</__Status__><__Reason__>No such account</__Reason__>";
    const struct {
        std::string reply;
        int iExit;
        std::string record;  // how the driver's record of the reply begins
    } cases[] = {
        {HttpReply("kept open"), 0, "Dorvane|185|"},
        {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfour and more", 7,
         "Dorvane|147|Overlong reply: Content-Length = 4, received = 13"},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nfour\r\n", 7, "Dorvane|151|"},
        {"HTTP/1.1 200 OK\r\n\r\n" + failure, 8, "Dorvane|154|Failed: No such account"},
    };
    for (const auto& c : cases) {
        ScriptedServer server({{ReadRequest(), Send(c.reply), HoldOpen()}, {ReadRequest(), Send(c.reply), HoldOpen()}});
        ConfigureFor(server);
        EXPECT_EQ(c.iExit, Run({}).iExitCode) << c.reply;
        const auto driver = DriverRecords();
        EXPECT_TRUE(std::any_of(driver.begin(), driver.end(), [&c](const std::string& record) {
            return record.rfind(c.record, 0) == 0;
        })) << ::testing::PrintToString(driver);
        EXPECT_EQ(std::string::npos, Log().find("Message: Timeout now: iTimeout = 7\n")) << c.reply;
        if (c.iExit == 0) {
            EXPECT_EQ("kept open", SavedBackup());
        }
        for (const std::string& name : Backups()) std::filesystem::remove(m_work.File(name));
    }
}

// Half of a database, without a Content-Length, then silence: the time-out
// ends the wait and the database's own header shows it cut short. The
// retry brings the whole file.
TEST_F(HostileServer, StalledDatabaseIsNotKeptAfterTheTimeOut) {
    std::string database = std::string("SQLite format 3\0", 16) + std::string(84, '\0');
    database[16] = 0x10;  // 4096-byte pages
    database[31] = 73;    // 73 of them: 299008 bytes
    database += std::string(299008 - database.size(), 'd');
    const std::string header = "HTTP/1.0 200 OK\r\n\r\n";
    ScriptedServer server(
        {{ReadRequest(), Send(header + database.substr(0, 149504)), HoldOpen()}, Reply(header + database)});
    ConfigureFor(server);
    EXPECT_EQ(0, Run({}).iExitCode);
    EXPECT_TRUE(SavedBackup() == database);
    const auto driver = DriverRecords();
    ASSERT_EQ(4u, driver.size()) << ::testing::PrintToString(driver);
    EXPECT_EQ("Dorvane|156|Database size mismatch: header size = 299008, received = 149504", driver[0]);
    EXPECT_EQ("Dorvane|199|Repeat to Dorvane", driver[1]);
}

TEST_F(HostileServer, ResetInTheMiddleOfADeclaredBodyKeepsNothing) {
    const Script script = {ReadRequest(),
                           Send("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n" + std::string(20000, 'b')),
                           Pause(100), Reset()};
    ScriptedServer server({script, script});
    ConfigureFor(server);
    EXPECT_EQ(4, Run({}).iExitCode);
    EXPECT_TRUE(Backups().empty());
    const auto driver = DriverRecords();
    ASSERT_EQ(4u, driver.size());
    EXPECT_EQ("Dorvane|146|Incomplete reply: Content-Length = 50000, received = 20000", driver[0]);
    EXPECT_EQ(0u, driver[3].find("Dorvane|205|Failed to connect to "));
}

struct ErrorEnding {
    const char* name;
    Script script;
};

class ConnectionErrors : public HostileServer, public ::testing::WithParamInterface<ErrorEnding> {};

// A connection that ends in an error, with no Content-Length to show the
// body whole, is no backup: each attempt logs why.
TEST_P(ConnectionErrors, WithoutALengthKeepNothing) {
    const Script& script = GetParam().script;
    ScriptedServer server({script, script});
    ConfigureFor(server);
    EXPECT_EQ(4, Run({}).iExitCode);
    EXPECT_TRUE(Backups().empty());
    const auto driver = DriverRecords();
    ASSERT_EQ(4u, driver.size()) << ::testing::PrintToString(Records());
    EXPECT_EQ("Dorvane|150|Incomplete reply: the connection ended with an error", driver[0]);
    EXPECT_EQ(driver[0], driver[2]);
}

const std::string kUndeclaredStart = "HTTP/1.0 200 OK\r\n\r\n" + std::string(4016, 'b');

INSTANTIATE_TEST_SUITE_P(
    Endings, ConnectionErrors,
    ::testing::Values(ErrorEnding{"Reset", {ReadRequest(), Send(kUndeclaredStart), Pause(100), Reset()}},
                      ErrorEnding{"UrgentByte",
                                  {ReadRequest(), Send(kUndeclaredStart), Pause(100), SendUrgent("!"), Pause(100),
                                   Send(std::string(4000, 'c'))}}),
    [](const ::testing::TestParamInfo<ErrorEnding>& info) { return std::string(info.param.name); });

TEST_F(HostileServer, HundredKilobyteReasonIsCutNotOverrun) {
    const std::string reason(100 * 1024, 'R');
    ScriptedServer server({Reply(HttpReply("<__Status__>FAILED</__Status__><__Reason__>" + reason + "</__Reason__>"))});
    ConfigureFor(server);
    const auto result = Run({});
    EXPECT_EQ(8, result.iExitCode);
    EXPECT_EQ(std::string(511, 'R'), result.szStdout);
    EXPECT_TRUE(Backups().empty());
}

// --- Bad configuration files

// Values as the configuration gives them reach the request as read: an
// oversized one as empty, none behind a NUL byte or inside a broken tag,
// nested tags from the first opening to the first closing one. "QUJD" is
// "ABC"; the stray "*" decodes to a zero byte that ends the text, and the
// key stream turns "ABC" into "gf\x1d".
TEST_F(DorvaneRun, OddValuesAreSentAsTheyRead) {
    const struct {
        std::string values;
        const char* szSent;
    } cases[] = {
        {"<__Email__>" + std::string(600, 'e') + "</__Email__><__Password__>VUE9AgB0</__Password__>",
         "?Email=&Password=secret HTTP/1.0\r\n"},
        {"<__Email__>lone opening tag" + std::string("\0", 1) + "<__Password__>VUE9AgB0</__Password__></__Email__>",
         "?Email=&Password= HTTP/1.0\r\n"},
        {"<__Email__>a<__Email__>b</__Email__>c</__Email__>", "?Email=a%3C__Email__%3Eb&Password= HTTP/1.0\r\n"},
        {"<__Password__>QUJD*</__Password__>", "&Password=gf%1D HTTP/1.0\r\n"},
    };
    for (const auto& c : cases) {
        ScriptedServer server({Reply(HttpReply("ok"))});
        WriteConfig("<__ServerAddress__>127.0.0.1:" + std::to_string(server.Port()) + "</__ServerAddress__>" +
                    c.values);
        EXPECT_EQ(0, Run({}).iExitCode) << c.szSent;
        ASSERT_TRUE(server.WaitForConnections(1));
        EXPECT_NE(std::string::npos, server.Requests().at(0).find(c.szSent)) << server.Requests().at(0);
    }
}

// A port outside 1 to 65535 never becomes another port (65616 would reach
// 80, -1 65535): the split fails and nothing is connected.
TEST_F(DorvaneRun, PortOutsideTheRangeFailsTheSplit) {
    for (const char* szPort : {"4294967296", "65616", "-1", "65536"}) {
        WriteConfig(std::string("<__ServerAddress__>127.0.0.1:") + szPort + "</__ServerAddress__>");
        EXPECT_EQ(2, Run({}).iExitCode);
        EXPECT_EQ(std::vector<std::string>{"Dorvane:main()|120|Utility::GetDomainNameFromURL() returns false"},
                  Records())
            << szPort;
    }
}

// Without a server address nothing answers (status 4); a file past the
// configuration's 16 MiB bound is not read at all, says so in the log and
// counts as unreadable (status 2).
TEST_F(DorvaneRun, EmptyOrOddConfigurationFilesEndCleanly) {
    const std::string oversized = "<__ServerAddress__>127.0.0.1:1</__ServerAddress__>" + std::string(16 << 20, ' ');
    const struct {
        std::string content;
        int iExit;
    } cases[] = {
        {"", 4}, {std::string(5000, '\0'), 4}, {"<__ServerAddress__>", 4}, {"</__Password__>", 4}, {oversized, 2}};
    for (const auto& c : cases) {
        WriteConfig(c.content);
        const auto result = Run({});
        EXPECT_EQ(c.iExit, result.iExitCode);
        EXPECT_EQ(c.iExit == 2 ? 0 : std::string::npos, result.szStdout.find("The configuration file has not been"));
        EXPECT_TRUE(Backups().empty());
    }
    EXPECT_EQ((std::vector<std::string>{"Dorvane:main()|110|Configuration file too large: " +
                                        std::to_string(oversized.size()) + " bytes, at most 16777216"}),
              Records());
}

// The configuration is read only from a regular file: a directory or a
// FIFO reads as a missing file, and a FIFO is never waited on.
TEST_F(DorvaneRun, ConfigurationThatIsNotARegularFileReadsAsMissing) {
    const std::string missing = "The configuration file has not been created.";
    std::filesystem::create_directory(m_work.File("Ostrel.cfg"));
    auto result = Run({});
    EXPECT_EQ(2, result.iExitCode);
    EXPECT_EQ(0u, result.szStdout.find(missing)) << result.szStdout;
    std::filesystem::remove(m_work.File("Ostrel.cfg"));
    if (!testprocess::MakeFifo(m_work.File("Ostrel.cfg"))) GTEST_SKIP() << "no FIFOs on this system";
    result = Run({});
    EXPECT_EQ(2, result.iExitCode);
    EXPECT_EQ(0u, result.szStdout.find(missing)) << result.szStdout;
    EXPECT_TRUE(Backups().empty());
}

// --- Other local users (POSIX)

namespace {

namespace fs = std::filesystem;
constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

fs::perms Mode(const std::string& path) { return fs::symlink_status(path).permissions() & fs::perms::mask; }

}  // namespace

// The password's cipher hides it from no one who can read the file, and
// the log tells the course of every run: both are the owner's alone, a
// configuration written over an older, readable one too.
TEST_F(DorvaneRun, ConfigurationAndLogAreTheOwnersAlone) {
    if (testprocess::BuiltForWindows()) GTEST_SKIP() << "POSIX file modes";
    WriteConfig("older");
    fs::permissions(m_work.File("Ostrel.cfg"), kOwnerOnly | fs::perms::group_read | fs::perms::others_read);
    Configure("http://127.0.0.1:1");
    EXPECT_EQ(kOwnerOnly, Mode(m_work.File("Ostrel.cfg")));
    EXPECT_EQ(kOwnerOnly, Mode(m_temp.File("Dorvane.txt")));
    Run({"x"});
    EXPECT_EQ(kOwnerOnly, Mode(m_temp.File("Dorvane.txt.bak")));
}

// TMPDIR names a directory anyone may write to (sticky, as /tmp is). What
// another user plants at the log's names is never followed, waited on or
// written through: the log cannot start (exit -1, "3...") and a secret
// file stays as it was; a link planted as the backup is replaced, not
// followed.
TEST_F(DorvaneRun, PlantedLogFilesAreNeitherFollowedNorWaitedOn) {
    if (testprocess::BuiltForWindows()) GTEST_SKIP() << "the Windows temporary directory is the user's own";
    fs::permissions(m_temp.Path(), fs::perms::all | fs::perms::sticky_bit);
    const std::string secret = m_work.File("secret");
    WriteFile(secret, "root only");
    fs::permissions(secret, kOwnerOnly);
    const std::string log = m_temp.File("Dorvane.txt");
    const std::string backup = m_temp.File("Dorvane.txt.bak");
    const struct {
        const char* szName;
        std::function<bool()> plant;
    } plants[] = {
        {"link to a secret", [&] { return fs::create_symlink(secret, log), true; }},
        {"FIFO", [&] { return testprocess::MakeFifo(log); }},
        {"link to an endless device", [&] { return fs::create_symlink("/dev/zero", log), true; }},
    };
    for (const auto& p : plants) {
        SCOPED_TRACE(p.szName);
        ASSERT_TRUE(p.plant());
        const auto result = Run({"x"});
        EXPECT_EQ(testprocess::ExitCodeOfMinusOne(), result.iExitCode);
        EXPECT_EQ("3...\n", result.szStdout);
        EXPECT_FALSE(FileExists(backup));
        EXPECT_EQ("root only", ReadFile(secret));
        fs::remove(log);
    }
    WriteFile(log, "previous run");
    fs::create_symlink(secret, backup);
    EXPECT_EQ(2, Run({"x"}).iExitCode);
    EXPECT_EQ("root only", ReadFile(secret));
    EXPECT_EQ(kOwnerOnly, Mode(secret));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(backup)));
    EXPECT_EQ("previous run", ReadFile(backup));
}

// Windows: what is planted at the log's names in the temporary directory (a
// hard link to another's file here; a symbolic link, a junction or another
// user's file alike) is neither written nor emptied, and the log goes to
// the current directory instead, so that the backup is still taken.
TEST_F(DorvaneRun, LinkPlantedAtTheLogsNamesSendsTheLogToTheCurrentDirectory) {
    if (!testprocess::BuiltForWindows()) GTEST_SKIP() << "POSIX refuses a planted link and ends the run";
    const std::string secret = m_work.File("secret");
    WriteFile(secret, "not the log's");
    for (const char* szName : {"Dorvane.txt", "Dorvane.txt.bak"}) {
        SCOPED_TRACE(szName);
        fs::create_hard_link(secret, m_temp.File(szName));
        EXPECT_EQ(2, Run({"x"}).iExitCode);
        EXPECT_EQ("not the log's", ReadFile(secret));
        EXPECT_NE(std::string::npos, ReadFile(m_work.File("Dorvane.txt")).find("Wrong argc = 2"));
        fs::remove(m_temp.File(szName));
        fs::remove(m_work.File("Dorvane.txt"));
    }
}

// With TMPDIR unset (as under cron) the log lives in the user's own
// /tmp/dorvane-<uid>/, made 0700. Whatever another user planted under that
// name is refused, and the log goes to the working directory instead, so
// that the backup is still taken. The program sees a /tmp of the test's
// own (sticky, world-writable), mounted for it alone.
TEST_F(DorvaneRun, LogDirectoryUnderTmpIsTheUsersOwn) {
    if (!testprocess::SupportsPrivateTmp()) GTEST_SKIP() << "cannot mount a private /tmp here (needs root on Linux)";
    TempDir tmp;
    fs::permissions(tmp.Path(), fs::perms::all | fs::perms::sticky_bit);
    const auto run = [&] { return testprocess::RunWithPrivateTmp(DORVANE_EXE, {"x"}, m_work.Path(), tmp.Path()); };
    ASSERT_EQ(2, run().iExitCode);
    const auto names = ListFiles(tmp.Path());
    ASSERT_EQ(1u, names.size());
    ASSERT_EQ(0u, names[0].find("dorvane-"));
    const std::string own = tmp.File(names[0]);
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(own)));
    EXPECT_EQ(fs::perms::owner_all, Mode(own));
    EXPECT_EQ(kOwnerOnly, Mode(own + "/Dorvane.txt"));
    EXPECT_NE(std::string::npos, ReadFile(own + "/Dorvane.txt").find("Wrong argc = 2"));
    fs::remove_all(own);

    const std::string elsewhere = tmp.File("elsewhere");
    fs::create_directory(elsewhere);
    const struct {
        const char* szName;
        std::function<bool()> plant;
    } plants[] = {
        {"link to a directory", [&] { return fs::create_directory_symlink(elsewhere, own), true; }},
        {"another user's directory", [&] { return fs::create_directory(own) && testprocess::GiveToNobody(own); }},
        {"directory others may write to",
         [&] { return fs::create_directory(own), fs::permissions(own, fs::perms::all), true; }},
        {"plain file", [&] { return WriteFile(own, ""), true; }},
    };
    for (const auto& p : plants) {
        SCOPED_TRACE(p.szName);
        ASSERT_TRUE(p.plant());
        EXPECT_EQ(2, run().iExitCode);
        EXPECT_NE(std::string::npos, ReadFile(m_work.File("Dorvane.txt")).find("Wrong argc = 2"));
        EXPECT_TRUE(ListFiles(elsewhere).empty());
        EXPECT_FALSE(FileExists(own + "/Dorvane.txt"));
        fs::remove(own);
        fs::remove(m_work.File("Dorvane.txt"));
        fs::remove(m_work.File("Dorvane.txt.bak"));
    }
}

// --- The environment

// Once nothing more can be stored, a body that is no failure reply is
// watched only for its first megabyte: the server that keeps sending is
// left then, not at the time-out.
TEST_F(DorvaneRun, FullDiskWhileSavingLeavesNoPartialBackup) {
    if (!testprocess::SupportsFileSizeLimit()) GTEST_SKIP() << "no file size limit on this system";
    ScriptedServer server({{ReadRequest(), Send(HttpReply(std::string(3 << 20, 'd'))), HoldOpen()}});
    ConfigureFor(server);
    const auto result = testprocess::RunWithFileSizeLimit(DORVANE_EXE, {}, m_work.Path(), m_temp.Path(), 100000);
    EXPECT_EQ(3, result.iExitCode);
    EXPECT_TRUE(Backups().empty()) << ::testing::PrintToString(Backups());
    EXPECT_TRUE(ListFiles(m_work.Path()) == std::vector<std::string>{"Ostrel.cfg"})
        << ::testing::PrintToString(ListFiles(m_work.Path()));
    // The body fills the disk while it streams in: the staged file is named.
    const auto driver = DriverRecords();
    ASSERT_EQ(1u, driver.size()) << ::testing::PrintToString(driver);
    EXPECT_EQ(0u, driver[0].find("Dorvane|186|cannot write file Database.")) << driver[0];
    EXPECT_NE(std::string::npos, driver[0].find(".part, error code: 27, error: File too large")) << driver[0];
    EXPECT_EQ(std::string::npos, Log().find("Timeout now"));
}

// A file system that really fills up while the body streams in. The test
// scripts provide one where they can mount it (DORVANE_FULL_FS).
TEST_F(DorvaneRun, FullFileSystemLeavesNoPartialBackupAndNamesTheSystemCode) {
    const char* szFull = std::getenv("DORVANE_FULL_FS");
    if (szFull == nullptr || szFull[0] == '\0') GTEST_SKIP() << "DORVANE_FULL_FS names no small file system to fill";
    const TempDir work(szFull);
    ScriptedServer server({Reply(HttpReply(std::string(2 * 1024 * 1024, 'd')))});
    ConfigureFor(server);
    WriteFile(work.File("Ostrel.cfg"), ReadFile(m_work.File("Ostrel.cfg")));
    EXPECT_EQ(3, testprocess::Run(DORVANE_EXE, {}, work.Path(), m_temp.Path()).iExitCode);
    EXPECT_EQ(std::vector<std::string>{"Ostrel.cfg"}, ListFiles(work.Path()));
    const auto driver = DriverRecords();
    ASSERT_EQ(1u, driver.size()) << ::testing::PrintToString(driver);
    const std::string code = testprocess::BuiltForWindows() ? "112" : "28";
    EXPECT_EQ(0u, driver[0].find("Dorvane|186|cannot write file Database.")) << driver[0];
    EXPECT_NE(std::string::npos, driver[0].find(".part, error code: " + code + ", error: ")) << driver[0];
}

TEST_F(DorvaneRun, TemporaryDirectoryThatCannotHoldTheLogEndsWithMinusOne) {
    const std::string missing = m_temp.File("no-such-directory");
    const auto result = testprocess::Run(DORVANE_EXE, {"s", "e", "p"}, m_work.Path(), missing);
    EXPECT_EQ(testprocess::ExitCodeOfMinusOne(), result.iExitCode);
    EXPECT_EQ(Console("3...\n"), result.szStdout);
    EXPECT_FALSE(FileExists(m_work.File("Ostrel.cfg")));
}
