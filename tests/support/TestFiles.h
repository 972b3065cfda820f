// Files, directories and log records for the tests.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// A fresh, empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    // The same under the directory parent.
    explicit TempDir(const std::string& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    // Path() with a trailing separator, as the log expects a directory.
    std::string WithSeparator() const;
    std::string File(const std::string& name) const;

private:
    std::string m_path;
};

// The file's bytes, or "" when it cannot be read.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// Names of the files in a directory, sorted.
std::vector<std::string> ListFiles(const std::string& directory);

// Text written in text mode, as read back in binary: line ends are "\r\n"
// on Windows. Turns them back into "\n".
std::string FromTextMode(const std::string& bytes);

// One log record.
struct LogRecord {
    std::string timeStamp;
    std::string function;
    std::string line;
    std::string message;
};

// Splits a log's text (already with "\n" line ends) into records. A record
// that does not have the record layout makes the result empty and sets
// *pError (when given) to the offending text.
std::vector<LogRecord> ParseLog(const std::string& text, std::string* pError = nullptr);
// "Function|Line|Message" of each record, for compact comparisons.
std::vector<std::string> Summaries(const std::vector<LogRecord>& records);
// Whether the text has the time stamp layout "YYYY-MM-DD hh:mm:ss".
bool IsTimeStamp(const std::string& text);

}  // namespace testsupport
