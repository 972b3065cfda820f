// Points the process-wide log at a fresh file in a temporary directory for
// the tests of code that logs, and reads its records back.
#pragma once

#include "support/TestFiles.h"

#include <memory>
#include <string>
#include <vector>

class MyLog;

namespace testsupport {

class LogCapture {
public:
    LogCapture();   // sets g_pLog
    ~LogCapture();  // restores g_pLog
    // The records written so far.
    std::vector<LogRecord> Records() const;
    // "Function|Line|Message" of the records written so far.
    std::vector<std::string> Summaries() const;
    // The log's raw text, line ends as written.
    std::string Text() const;

private:
    TempDir m_dir;
    std::unique_ptr<MyLog> m_pLog;
    MyLog* m_pPrevious;
};

}  // namespace testsupport
