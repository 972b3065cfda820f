// The log: its single instance, the choice of names, the backup copy taken
// at start, the record layout, the status it keeps and the rotation into
// the backup when the log grows past its threshold.
#include "log/MyLog.h"

#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::FileExists;
using testsupport::FromTextMode;
using testsupport::IsTimeStamp;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr int kTimeStampLength = 19;

// The header of a record without its time stamp.
std::string HeaderTail(const std::string& szLabel, int iLine) {
    return "\nFunction: " + szLabel + "\nLine: " + std::to_string(iLine) + "\nMessage: ";
}

// Checks that the text is exactly the given records, each a time stamp
// followed by the expected rest of the record.
::testing::AssertionResult IsRecords(const std::string& szText, const std::vector<std::string>& tails) {
    std::size_t uPos = 0;
    for (std::size_t i = 0; i < tails.size(); ++i) {
        const std::string szStamp = szText.substr(uPos, kTimeStampLength);
        if (!IsTimeStamp(szStamp)) {
            return ::testing::AssertionFailure() << "record " << i << ": no time stamp in \"" << szStamp << "\"";
        }
        uPos += kTimeStampLength;
        if (szText.compare(uPos, tails[i].size(), tails[i]) != 0) {
            return ::testing::AssertionFailure() << "record " << i << ": expected \"" << tails[i] << "\", found \""
                                                 << szText.substr(uPos, tails[i].size()) << "\"";
        }
        uPos += tails[i].size();
    }
    if (uPos != szText.size()) {
        return ::testing::AssertionFailure() << "unexpected text after the records: \"" << szText.substr(uPos) << "\"";
    }
    return ::testing::AssertionSuccess();
}

std::size_t CountOf(const std::string& szText, const std::string& szPiece) {
    std::size_t uCount = 0;
    for (std::size_t uPos = szText.find(szPiece); uPos != std::string::npos; uPos = szText.find(szPiece, uPos + 1)) {
        ++uCount;
    }
    return uCount;
}

class MyLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_iLogErrorState = 0;
        g_szLogErrorMessage[0] = '\0';
    }

    void TearDown() override {
        // The set-up stream stays open until the first record; close it so
        // that the directory can be removed on every system.
        for (auto& pLog : m_logs) {
            if (pLog->m_pFile != nullptr) std::fclose(pLog->m_pFile);
            pLog->m_pFile = nullptr;
        }
        m_logs.clear();
    }

    // A log with the given name, file name and directory preset, not yet
    // set up.
    MyLog& NewLog(const char* szName, const std::string& szFile, const std::string& szDirectory) {
        m_logs.push_back(std::make_unique<MyLog>(szName));
        MyLog& log = *m_logs.back();
        std::snprintf(log.m_szLogFile, sizeof log.m_szLogFile, "%s", szFile.c_str());
        std::snprintf(log.m_szWorkingDirectory, sizeof log.m_szWorkingDirectory, "%s", szDirectory.c_str());
        return log;
    }

    // A log "Dorvane.txt" in the temporary directory of the test, set up.
    MyLog& ReadyLog() {
        MyLog& log = NewLog("Dorvane", "Dorvane.txt", m_dir.WithSeparator());
        EXPECT_TRUE(log.GetWorkingDirectory());
        return log;
    }

    std::string LogPath() const { return m_dir.WithSeparator() + "Dorvane.txt"; }
    std::string BackupPath() const { return m_dir.WithSeparator() + "Dorvane.txt.bak"; }
    static std::string Text(const std::string& szPath) { return FromTextMode(ReadFile(szPath)); }

    TempDir m_dir;
    std::vector<std::unique_ptr<MyLog>> m_logs;
};

TEST_F(MyLogTest, ConstructionAndSetUpValues) {
    g_iLogErrorState = 3;
    std::snprintf(g_szLogErrorMessage, sizeof g_szLogErrorMessage, "earlier failure");
    MyLog& log = NewLog("Dorvane", "", "");
    EXPECT_EQ(0, g_iLogErrorState);
    EXPECT_STREQ("", g_szLogErrorMessage);
    EXPECT_STREQ("Dorvane", log.m_szInstanceName);
    EXPECT_STREQ("", log.m_szBackupFile);
    EXPECT_EQ(nullptr, log.m_pFile);
    EXPECT_EQ(0, log.m_iCurrentSize);
    EXPECT_EQ(102400, log.m_iMaxSize);

    MyLog& ready = ReadyLog();
    EXPECT_EQ(1024000, ready.m_iMaxSize);
    EXPECT_EQ(0, ready.m_iCurrentSize);
    EXPECT_NE(nullptr, ready.m_pFile);
    EXPECT_TRUE(FileExists(LogPath()));
    EXPECT_EQ("", ReadFile(LogPath()));
    EXPECT_FALSE(FileExists(BackupPath()));
    EXPECT_EQ(0, g_iLogErrorState);
}

TEST_F(MyLogTest, InstanceNameMissingOrTooLong) {
    EXPECT_STREQ("", NewLog(nullptr, "", "").m_szInstanceName);
    const std::string szLong(600, 'n');
    MyLog& log = NewLog(szLong.c_str(), "", "");
    EXPECT_EQ(szLong.substr(0, 511), std::string(log.m_szInstanceName));
    // The fields behind the name are still as construction left them.
    EXPECT_EQ(nullptr, log.m_pFile);
    EXPECT_EQ(0, log.m_iCurrentSize);
    EXPECT_EQ(102400, log.m_iMaxSize);
}

// Record layout, byte for byte: time stamp, then the labelled lines, then
// an empty line. Only the header of each record is counted.
TEST_F(MyLogTest, RecordLayout) {
    MyLog& log = ReadyLog();
    const char* szEmptyFormat = "";  // an empty format, as a caller may pass one
    const std::string szLong(5000, 'm');

    log.Write("L", 0, __FILE__, 7, "x");
    log.Write("", 0, __FILE__, 7, szEmptyFormat);
    log.Write("L", 0, __FILE__, 7, "first\nsecond\n");
    log.Write("L", 0, __FILE__, -42, "x");
    log.Write("50%d%s%%", 0, __FILE__, 7, "x");
    log.Write("HTTPConnection", 0, __FILE__, 182, "Timeout now: iTimeout = %d", 7);
    log.Write("Dorvane", 0, __FILE__, 1, "%s|%d|%c|%5.2f", "text", -3, 'c', 1.5);
    log.Write("Dorvane", 0, "another/file.cpp", 2, "%s", szLong.c_str());
    EXPECT_EQ(nullptr, log.m_pFile);

    const std::vector<std::string> tails = {
        "\nFunction: L\nLine: 7\nMessage: x\n\n",
        "\nFunction: \nLine: 7\nMessage: \n\n",
        "\nFunction: L\nLine: 7\nMessage: first\nsecond\n\n\n",
        "\nFunction: L\nLine: -42\nMessage: x\n\n",
        "\nFunction: 50%d%s%%\nLine: 7\nMessage: x\n\n",
        "\nFunction: HTTPConnection\nLine: 182\nMessage: Timeout now: iTimeout = 7\n\n",
        "\nFunction: Dorvane\nLine: 1\nMessage: text|-3|c| 1.50\n\n",
        "\nFunction: Dorvane\nLine: 2\nMessage: " + szLong + "\n\n",
    };
    EXPECT_TRUE(IsRecords(Text(LogPath()), tails));

    std::int32_t iHeaders = 0;
    const std::pair<std::string, int> headers[] = {{"L", 7},       {"", 7},         {"L", 7},
                                                   {"L", -42},     {"50%d%s%%", 7}, {"HTTPConnection", 182},
                                                   {"Dorvane", 1}, {"Dorvane", 2}};
    for (const auto& h : headers)
        iHeaders += kTimeStampLength + static_cast<std::int32_t>(HeaderTail(h.first, h.second).size());
    EXPECT_EQ(iHeaders, log.m_iCurrentSize);
    EXPECT_EQ(0, g_iLogErrorState);
}

// The level raises the status to itself, never lowers it, and levels
// outside 1 to 3 leave it alone. No level suppresses a record.
TEST_F(MyLogTest, StatusFollowsLevels) {
    const struct {
        std::vector<int> levels;
        int iExpected;
    } cases[] = {
        {{3, 1}, 3}, {{1, 2}, 2}, {{1}, 1},       {{2, 1}, 2},       {{0}, 0},
        {{7}, 0},    {{-1}, 0},   {{2, 7, 0}, 2}, {{3, 2, 1, 0}, 3}, {{1, 1, 0, 4}, 1},
    };
    MyLog& log = ReadyLog();
    std::size_t uRecords = 0;
    for (const auto& c : cases) {
        g_iLogErrorState = 0;
        std::string szTrace;
        for (int iLevel : c.levels) {
            log.Write("Levels", iLevel, __FILE__, 1, "level %d", iLevel);
            szTrace += std::to_string(iLevel) + " ";
            ++uRecords;
        }
        EXPECT_EQ(c.iExpected, g_iLogErrorState) << "levels " << szTrace;
    }
    EXPECT_EQ(uRecords, CountOf(Text(LogPath()), "\nFunction: Levels\n"));
}

TEST_F(MyLogTest, BackupTakenAtStart) {
    WriteFile(LogPath(), "previous run\nof the log\n");
    WriteFile(BackupPath(), "older backup");
    MyLog& log = ReadyLog();
    EXPECT_EQ("previous run\nof the log\n", ReadFile(BackupPath()));
    EXPECT_EQ("", ReadFile(LogPath()));
    log.Write("L", 0, __FILE__, 7, "x");
    EXPECT_TRUE(IsRecords(Text(LogPath()), {HeaderTail("L", 7) + "x\n\n"}));
    EXPECT_EQ("previous run\nof the log\n", ReadFile(BackupPath()));
}

TEST_F(MyLogTest, NoLogLeavesBackupAlone) {
    WriteFile(BackupPath(), "older backup");
    ReadyLog();
    EXPECT_EQ("older backup", ReadFile(BackupPath()));
    EXPECT_TRUE(FileExists(LogPath()));
    EXPECT_EQ("", ReadFile(LogPath()));
}

// The three ways of naming the log and its backup.
TEST_F(MyLogTest, FileNames) {
    const std::string szDir = m_dir.WithSeparator();
    const std::string szSubPrefix = m_dir.File("sub");  // a directory text without a separator
    const struct {
        const char* szName;
        std::string file;
        std::string directory;
        std::string log;
        std::string backup;
    } cases[] = {
        {"Dorvane", "Dorvane.txt", szDir, szDir + "Dorvane.txt", szDir + "Dorvane.txt.bak"},
        {"Dorvane", "", szDir, szDir + "qmx1024h.txt", szDir + "qmx1024h.bak"},
        {"server", "", szDir, szDir + "qmx1024h.txt", szDir + "qmx1024h.bak"},
        {"Server2", "x.log", szDir, szDir + "x.log", szDir + "x.log.bak"},
        {"", "Dorvane.txt", szSubPrefix, szSubPrefix + "Dorvane.txt", szSubPrefix + "Dorvane.txt.bak"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.szName) + " / " + c.file + " / " + c.directory);
        MyLog& log = NewLog(c.szName, c.file, c.directory);
        ASSERT_TRUE(log.GetWorkingDirectory());
        EXPECT_EQ(c.directory, std::string(log.m_szWorkingDirectory));
        EXPECT_EQ(c.log, std::string(log.m_szLogFile));
        EXPECT_EQ(c.backup, std::string(log.m_szBackupFile));
        EXPECT_TRUE(FileExists(c.log));
    }
}

// The instance "Server" keeps its log in the current directory under a
// fixed name, whatever was preset. The test runs in its own directory, as
// set-up creates the file there.
TEST_F(MyLogTest, ServerInstanceNames) {
    struct CurrentDirectory {
        fs::path previous = fs::current_path();
        explicit CurrentDirectory(const std::string& szPath) { fs::current_path(szPath); }
        ~CurrentDirectory() { fs::current_path(previous); }
    } inTemp(m_dir.Path());

    const struct {
        std::string file;
        std::string directory;
    } presets[] = {{"Dorvane.txt", m_dir.WithSeparator()}, {"", ""}, {"Dorvane.txt", ""}};
    for (const auto& p : presets) {
        SCOPED_TRACE(p.file + " / " + p.directory);
        MyLog& log = NewLog("Server", p.file, p.directory);
        ASSERT_TRUE(log.GetWorkingDirectory());
        EXPECT_STREQ(".\\", log.m_szWorkingDirectory);
        EXPECT_STREQ(".\\RunServerLog.txt", log.m_szLogFile);
        EXPECT_STREQ(".\\RunServerLog.bak", log.m_szBackupFile);
        std::fclose(log.m_pFile);
        log.m_pFile = nullptr;
    }
}

// A log path that is a directory fails set-up and leaves the previous
// run's backup as it was.
TEST_F(MyLogTest, UnopenableLogPathFailsSetUp) {
    fs::create_directory(LogPath());
    WriteFile(BackupPath(), "previous backup");
    MyLog& log = NewLog("Dorvane", "Dorvane.txt", m_dir.WithSeparator());
    EXPECT_FALSE(log.GetWorkingDirectory());
    EXPECT_EQ(3, g_iLogErrorState);
    const std::string szPrefix = "failed to create log file " + LogPath() + " in MyLog::GetWorkingDirectory(), ";
    EXPECT_EQ(szPrefix, std::string(g_szLogErrorMessage).substr(0, szPrefix.size()));
    EXPECT_GT(std::strlen(g_szLogErrorMessage), szPrefix.size()) << "error code missing";
    EXPECT_EQ(nullptr, log.m_pFile);
    EXPECT_EQ("previous backup", ReadFile(BackupPath()));
}

// A record that cannot open the log is dropped; the call returns normally
// and the next call tries again.
TEST_F(MyLogTest, WriteThatCannotOpenTheLog) {
    MyLog& log = ReadyLog();
    log.Write("L", 0, __FILE__, 7, "one");
    const std::int32_t iAfterOne = log.m_iCurrentSize;
    fs::remove(LogPath());
    fs::create_directory(LogPath());

    log.Write("L", 0, __FILE__, 7, "lost");
    EXPECT_EQ(3, g_iLogErrorState);
    EXPECT_EQ("failed to create log file " + LogPath() + " in MyLog::GetWorkingDirectory()",
              std::string(g_szLogErrorMessage));
    EXPECT_EQ(iAfterOne, log.m_iCurrentSize);
    EXPECT_TRUE(fs::is_directory(LogPath()));

    fs::remove(LogPath());
    g_iLogErrorState = 0;
    log.Write("L", 0, __FILE__, 7, "two");
    EXPECT_EQ(0, g_iLogErrorState);
    EXPECT_TRUE(IsRecords(Text(LogPath()), {HeaderTail("L", 7) + "two\n\n"}));
    EXPECT_EQ(2 * iAfterOne, log.m_iCurrentSize);
}

// The count is kept by the log, not taken from the file: a log deleted
// between two records is created again and the count goes on.
TEST_F(MyLogTest, DeletedLogIsCreatedAgain) {
    MyLog& log = ReadyLog();
    log.Write("L", 0, __FILE__, 7, "one");
    const std::int32_t iHeader = log.m_iCurrentSize;
    EXPECT_EQ(kTimeStampLength + static_cast<std::int32_t>(HeaderTail("L", 7).size()), iHeader);
    ASSERT_TRUE(fs::remove(LogPath()));
    log.Write("L", 0, __FILE__, 7, "two");
    EXPECT_TRUE(IsRecords(Text(LogPath()), {HeaderTail("L", 7) + "two\n\n"}));
    EXPECT_EQ(2 * iHeader, log.m_iCurrentSize);
    EXPECT_EQ(0, g_iLogErrorState);
}

// With the label "HTTPConnection" and a three-digit line each header is 64
// bytes, so 16000 records bring the count to the threshold exactly. The
// next record crosses it: everything before it goes to the backup, and the
// log starts again with that record alone. A server's text in a record may
// hold any byte: a Ctrl-Z, which ends a text-mode read on Windows, reaches
// the backup with everything behind it.
TEST_F(MyLogTest, RotationAtThreshold) {
    MyLog& log = ReadyLog();
    ASSERT_EQ(64u, kTimeStampLength + HeaderTail("HTTPConnection", 182).size());
    WriteFile(BackupPath(), "stale backup");

    const std::string szRecordTail = HeaderTail("HTTPConnection", 182) + "x\n\n";
    log.Write("HTTPConnection", 0, __FILE__, 182,
              "Failed: a\x1a"
              "b");
    for (int i = 1; i < 16000; ++i) log.Write("HTTPConnection", 0, __FILE__, 182, "x");
    EXPECT_EQ(1024000, log.m_iCurrentSize);
    const std::string szFull = Text(LogPath());
    EXPECT_EQ(0u, szFull.find(szFull.substr(0, kTimeStampLength) + HeaderTail("HTTPConnection", 182) +
                              "Failed: a\x1a"
                              "b\n\n"));
    EXPECT_EQ(15999u, CountOf(szFull, szRecordTail));
    EXPECT_EQ(16000u * (kTimeStampLength + szRecordTail.size()) + 10, szFull.size());
    EXPECT_EQ("stale backup", ReadFile(BackupPath()));

    log.Write("HTTPConnection", 0, __FILE__, 182, "last");
    EXPECT_EQ(0, log.m_iCurrentSize);
    EXPECT_TRUE(szFull == Text(BackupPath())) << "the backup is not the log as it was before the rotation";
    EXPECT_TRUE(IsRecords(Text(LogPath()), {HeaderTail("HTTPConnection", 182) + "last\n\n"}));
    EXPECT_EQ(nullptr, log.m_pFile);
    EXPECT_EQ(0, g_iLogErrorState);

    log.Write("HTTPConnection", 0, __FILE__, 182, "after");
    EXPECT_EQ(64, log.m_iCurrentSize);
    EXPECT_TRUE(IsRecords(Text(LogPath()), {HeaderTail("HTTPConnection", 182) + "last\n\n",
                                            HeaderTail("HTTPConnection", 182) + "after\n\n"}));
    EXPECT_TRUE(szFull == Text(BackupPath())) << "the backup is not the log as it was before the rotation";
}

// Composed paths must fit their 512-byte fields with the NUL. The names are
// laid in nested directories so that the log path is 507 bytes and the
// backup path 511 (fits), or one byte more (refused before anything is
// created, and without writing into the fields behind the paths).
TEST_F(MyLogTest, ComposedPathLength) {
    std::string szBase = m_dir.WithSeparator();
    const char cSeparator = static_cast<char>(fs::path::preferred_separator);
    bool bCreated = true;
    while (szBase.size() < 300) {
        szBase += std::string(100, 'd') + cSeparator;
        std::error_code error;
        if (bCreated) bCreated = fs::create_directory(fs::u8path(szBase), error) && !error;
    }
    ASSERT_LT(szBase.size(), 496u);
    const std::string szFits = szBase + std::string(496 - szBase.size(), 'p');  // a 496-byte directory text

    const struct {
        const char* szName;
        std::string directory;
        std::string file;
    } cases[] = {
        {"BackupOneByteTooLong", szFits + "p", "Dorvane.txt"},      // log 508, backup 512
        {"LogOneByteTooLong", szFits + "p", std::string(15, 'f')},  // log 512
        {"FarTooLong", std::string(511, 'p'), std::string(511, 'f')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        g_iLogErrorState = 0;
        g_szLogErrorMessage[0] = '\0';
        MyLog& log = NewLog("Dorvane", c.file, c.directory);
        EXPECT_FALSE(log.GetWorkingDirectory());
        EXPECT_EQ(3, g_iLogErrorState);
        EXPECT_STRNE("", g_szLogErrorMessage);
        EXPECT_LT(std::strlen(log.m_szLogFile), 512u);
        EXPECT_LT(std::strlen(log.m_szBackupFile), 512u);
        EXPECT_STREQ("Dorvane", log.m_szInstanceName);
        EXPECT_EQ(nullptr, log.m_pFile);
        EXPECT_EQ(0, log.m_iCurrentSize);
        EXPECT_FALSE(FileExists(c.directory + c.file));
    }

    if (!bCreated) GTEST_SKIP() << "cannot create a directory path of " << szBase.size() << " bytes here";
    MyLog& fits = NewLog("Dorvane", "Dorvane.txt", szFits);
    if (!fits.GetWorkingDirectory()) GTEST_SKIP() << "this system cannot open a file at a 507-byte path";
    EXPECT_EQ(szFits + "Dorvane.txt", std::string(fits.m_szLogFile));
    EXPECT_EQ(szFits + "Dorvane.txt.bak", std::string(fits.m_szBackupFile));
    EXPECT_TRUE(FileExists(szFits + "Dorvane.txt"));
}

// The process has one log instance. This is the only test that makes it.
TEST_F(MyLogTest, SingleInstance) {
    ASSERT_EQ(nullptr, MyLog::GetInstance());
    ASSERT_TRUE(MyLog::Initialize("First"));
    MyLog* pFirst = MyLog::GetInstance();
    ASSERT_NE(nullptr, pFirst);
    EXPECT_STREQ("First", pFirst->m_szInstanceName);
    EXPECT_EQ(102400, pFirst->m_iMaxSize);
    EXPECT_EQ(0, g_iLogErrorState);

    EXPECT_FALSE(MyLog::Initialize("Second"));
    EXPECT_EQ(3, g_iLogErrorState);
    EXPECT_STREQ("More than log instance, reported from MyLog::Initialize()", g_szLogErrorMessage);
    EXPECT_EQ(pFirst, MyLog::GetInstance());
    EXPECT_STREQ("First", pFirst->m_szInstanceName);
    EXPECT_STREQ("", pFirst->m_szLogFile);
    EXPECT_EQ(102400, pFirst->m_iMaxSize);
}

}  // namespace
