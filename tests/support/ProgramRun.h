// Running the built program for the end-to-end tests: a working directory
// and a temporary directory of its own, its output, its files and its log.
#pragma once

#include "support/TestProcess.h"
#include "support/ScriptedServer.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef DORVANE_EXE
#error "DORVANE_EXE names the program under test"
#endif

namespace testsupport {

// "\n" as the program's text-mode standard output shows it.
inline std::string Console(const std::string& text) {
    std::string shown;
    for (char c : text) shown += c == '\n' ? std::string(testprocess::TextLineEnd()) : std::string(1, c);
    return shown;
}

// Binary data with every byte value, NULs and both separators among them.
inline std::string BinaryBody(std::size_t uSize) {
    std::string body;
    for (std::size_t i = 0; i < uSize; ++i) body += static_cast<char>((i * 131 + i / 256) % 256);
    return body + "\r\n\r\n\n\n<__Return__>";
}

class DorvaneRun : public ::testing::Test {
protected:
    // A program that did not start fails the test as such: its empty output
    // and default exit code must never pass for the program's own.
    testprocess::Result Run(const std::vector<std::string>& arguments) {
        const testprocess::Result result = testprocess::Run(DORVANE_EXE, arguments, m_work.Path(), m_temp.Path());
        EXPECT_TRUE(result.bStarted) << "the program did not start, system code " << result.iStartError;
        return result;
    }

    // Writes the configuration file's bytes as they are.
    void WriteConfig(const std::string& bytes) { WriteFile(m_work.File("Ostrel.cfg"), bytes); }

    void Configure(const std::string& server, const std::string& email = "user@example.com",
                   const std::string& password = "p@ss w0rd") {
        ASSERT_EQ(0, Run({server, email, password}).iExitCode);
    }

    void ConfigureFor(const ScriptedServer& server) {
        Configure("http://127.0.0.1:" + std::to_string(server.Port()) + "/ignored/path");
    }

    // The log's text; no line of it may end in a stray carriage return
    // (a system text's own line break turned into CR CR LF).
    std::string Log() const {
        const std::string bytes = ReadFile(m_temp.File("Dorvane.txt"));
        EXPECT_EQ(std::string::npos, bytes.find("\r\r\n")) << "CR CR LF in the log";
        return FromTextMode(bytes);
    }

    std::vector<std::string> Records() const {
        std::string error;
        const auto records = ParseLog(Log(), &error);
        EXPECT_TRUE(error.empty()) << "log not in record layout near: " << error;
        return Summaries(records);
    }

    // The records of the driver itself, without the socket layer's.
    std::vector<std::string> DriverRecords() const {
        std::vector<std::string> driver;
        for (const std::string& record : Records()) {
            if (record.rfind("Dorvane", 0) == 0) driver.push_back(record);
        }
        return driver;
    }

    // Files the download wrote in the working directory.
    std::vector<std::string> Backups() const {
        std::vector<std::string> names;
        for (const std::string& name : ListFiles(m_work.Path())) {
            if (name.rfind("Database.", 0) == 0) names.push_back(name);
        }
        return names;
    }

    TempDir m_work;
    TempDir m_temp;
};

inline bool IsBackupName(const std::string& name) {
    if (name.size() != 26 || name.compare(0, 9, "Database.") != 0 || name.compare(23, 3, ".db") != 0) return false;
    for (int i = 9; i < 23; ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

}  // namespace testsupport
