#include "support/LogCapture.h"

#include "log/MyLog.h"

#include <cstdio>

namespace testsupport {

LogCapture::LogCapture() : m_pLog(new MyLog("test")), m_pPrevious(g_pLog) {
    std::snprintf(m_pLog->m_szWorkingDirectory, sizeof m_pLog->m_szWorkingDirectory, "%s",
                  m_dir.WithSeparator().c_str());
    std::snprintf(m_pLog->m_szLogFile, sizeof m_pLog->m_szLogFile, "%s", "test.txt");
    m_pLog->GetWorkingDirectory();
    g_pLog = m_pLog.get();
}

LogCapture::~LogCapture() { g_pLog = m_pPrevious; }

std::string LogCapture::Text() const { return ReadFile(m_dir.File("test.txt")); }

std::vector<LogRecord> LogCapture::Records() const { return ParseLog(FromTextMode(Text())); }

std::vector<std::string> LogCapture::Summaries() const { return testsupport::Summaries(Records()); }

}  // namespace testsupport
