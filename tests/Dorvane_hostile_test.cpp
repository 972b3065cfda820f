// End-to-end: hostile servers and bad input. Neither may crash the program,
// make it write past a buffer, or make it keep a broken backup; each ends
// with exit code 0 and its records.
#include "support/ProgramRun.h"

#include <gtest/gtest.h>

#include <filesystem>
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

TEST_F(HostileServer, ServerThatKeepsTheConnectionOpenIsLeftAfterTheTimeOut) {
    ScriptedServer server({{ReadRequest(), Send(HttpReply("kept open")), HoldOpen()}});
    ConfigureFor(server);
    Run({});
    EXPECT_EQ("kept open", SavedBackup());
    EXPECT_NE(std::string::npos, Log().find("Line: 195\nMessage: Timeout now: iTimeout = 7\n"));
}

TEST_F(HostileServer, ResetInTheMiddleOfADeclaredBodyKeepsNothing) {
    const Script script = {ReadRequest(), Send("HTTP/1.0 200 OK\r\nContent-Length: 50000\r\n\r\n" + std::string(20000, 'b')),
                           Pause(100), Reset()};
    ScriptedServer server({script, script});
    ConfigureFor(server);
    Run({});
    EXPECT_TRUE(Backups().empty());
    const auto driver = DriverRecords();
    ASSERT_EQ(4u, driver.size());
    EXPECT_EQ("Dorvane|146|Incomplete reply: Content-Length = 50000, received = 20000", driver[0]);
    EXPECT_EQ(0u, driver[3].find("Dorvane|205|Failed to connect to "));
}

TEST_F(HostileServer, HundredKilobyteReasonIsCutNotOverrun) {
    const std::string reason(100 * 1024, 'R');
    ScriptedServer server({Reply(HttpReply("<__Status__>FAILED</__Status__><__Reason__>" + reason + "</__Reason__>"))});
    ConfigureFor(server);
    const auto result = Run({});
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_EQ(std::string(511, 'R'), result.szStdout);
    EXPECT_TRUE(Backups().empty());
}

// --- Bad configuration files

TEST_F(DorvaneRun, OversizedValueReadsAsEmpty) {
    ScriptedServer server({Reply(HttpReply("ok"))});
    WriteConfig("<__ServerAddress__>127.0.0.1:" + std::to_string(server.Port()) + "</__ServerAddress__><__Email__>" +
                std::string(600, 'e') + "</__Email__><__Password__>VUE9AgB0</__Password__>");
    Run({});
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_NE(std::string::npos, server.Requests().at(0).find("?Email=&Password=secret HTTP/1.0\n"));
}

TEST_F(DorvaneRun, ValuesBehindANulByteOrInsideBrokenTagsAreNotRead) {
    ScriptedServer server({Reply(HttpReply("ok"))});
    const std::string address = "<__ServerAddress__>127.0.0.1:" + std::to_string(server.Port()) + "</__ServerAddress__>";
    WriteConfig(address + "<__Email__>lone opening tag" + std::string("\0", 1) +
                "<__Password__>VUE9AgB0</__Password__></__Email__>");
    Run({});
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_NE(std::string::npos, server.Requests().at(0).find("?Email=&Password= HTTP/1.0\n"));
}

TEST_F(DorvaneRun, NestedTagsTakeTheFirstOpeningAndFirstClosingTag) {
    ScriptedServer server({Reply(HttpReply("ok"))});
    WriteConfig("<__ServerAddress__>127.0.0.1:" + std::to_string(server.Port()) +
                "</__ServerAddress__><__Email__>a<__Email__>b</__Email__>c</__Email__>");
    Run({});
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_NE(std::string::npos, server.Requests().at(0).find("?Email=a%3C__Email__%3Eb&Password= HTTP/1.0\n"));
}

// "QUJD" is "ABC"; the stray "*" decodes to a zero byte that ends the text,
// and the key stream turns "ABC" into "gf\x1d".
TEST_F(DorvaneRun, InvalidBase64PasswordIsSentAsItDecodes) {
    ScriptedServer server({Reply(HttpReply("ok"))});
    WriteConfig("<__ServerAddress__>127.0.0.1:" + std::to_string(server.Port()) +
                "</__ServerAddress__><__Password__>QUJD*</__Password__>");
    EXPECT_EQ(0, Run({}).iExitCode);
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_NE(std::string::npos, server.Requests().at(0).find("&Password=gf%1D HTTP/1.0\n"));
}

// A port outside 1 to 65535 never becomes another port (65616 would reach
// 80, -1 65535): the split fails and nothing is connected.
TEST_F(DorvaneRun, PortOutsideTheRangeFailsTheSplit) {
    for (const char* szPort : {"4294967296", "65616", "-1", "65536"}) {
        WriteConfig(std::string("<__ServerAddress__>127.0.0.1:") + szPort + "</__ServerAddress__>");
        EXPECT_EQ(0, Run({}).iExitCode);
        EXPECT_EQ(std::vector<std::string>{"Dorvane:main()|120|Utility::GetDomainNameFromURL() returns false"},
                  Records())
            << szPort;
    }
}

TEST_F(DorvaneRun, EmptyOrOddConfigurationFilesEndCleanly) {
    const std::vector<std::string> contents = {"", std::string(5000, '\0'), "<__ServerAddress__>", "</__Password__>"};
    for (const std::string& content : contents) {
        WriteConfig(content);
        EXPECT_EQ(0, Run({}).iExitCode);
        EXPECT_TRUE(Backups().empty());
    }
}

TEST_F(DorvaneRun, ConfigurationThatIsADirectoryEndsCleanly) {
    std::filesystem::create_directory(m_work.File("Ostrel.cfg"));
    const auto result = Run({});
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_TRUE(Backups().empty());
}

// --- The environment

TEST_F(DorvaneRun, FullDiskWhileSavingLeavesNoPartialBackup) {
    if (!testprocess::SupportsFileSizeLimit()) GTEST_SKIP() << "no file size limit on this system";
    ScriptedServer server({Reply(HttpReply(std::string(200000, 'd')))});
    ConfigureFor(server);
    const auto result = testprocess::RunWithFileSizeLimit(DORVANE_EXE, {}, m_work.Path(), m_temp.Path(), 100000);
    EXPECT_EQ(0, result.iExitCode);
    EXPECT_TRUE(Backups().empty()) << ::testing::PrintToString(Backups());
    const auto driver = DriverRecords();
    ASSERT_EQ(2u, driver.size());
    EXPECT_EQ(0u, driver[1].find("Dorvane|186|cannot write file Database.")) << driver[1];
}

TEST_F(DorvaneRun, TemporaryDirectoryThatCannotHoldTheLogEndsWithMinusOne) {
    const std::string missing = m_temp.File("no-such-directory");
    const auto result = testprocess::Run(DORVANE_EXE, {"s", "e", "p"}, m_work.Path(), missing);
    EXPECT_EQ(testprocess::ExitCodeOfMinusOne(), result.iExitCode);
    EXPECT_EQ(Console("3...\n"), result.szStdout);
    EXPECT_FALSE(FileExists(m_work.File("Ostrel.cfg")));
}
