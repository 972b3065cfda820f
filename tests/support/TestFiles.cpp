#include "support/TestFiles.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

TempDir::TempDir() : TempDir(fs::temp_directory_path().string()) {}

TempDir::TempDir(const std::string& parent) {
    static std::atomic<unsigned> s_uCounter{0};
    std::random_device random;
    const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
    for (;;) {
        const fs::path candidate = fs::path(parent) / ("dorvane-test-" + std::to_string(random()) + "-" +
                                                       std::to_string(ticks) + "-" + std::to_string(s_uCounter++));
        if (fs::create_directory(candidate)) {
            m_path = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(m_path, error);
}

std::string TempDir::WithSeparator() const { return m_path + static_cast<char>(fs::path::preferred_separator); }

std::string TempDir::File(const std::string& name) const { return (fs::path(m_path) / name).string(); }

std::string ReadFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream content;
    content << stream.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(path, error);
}

std::vector<std::string> ListFiles(const std::string& directory) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FromTextMode(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text += bytes[i];
    }
    return text;
}

bool IsTimeStamp(const std::string& text) {
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool bDigit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !bDigit : text[i] != shape[i]) return false;
    }
    return true;
}

namespace {

// Reads "<prefix><value>\n" at *pAt; false when the text differs.
bool TakeField(const std::string& text, std::size_t* pAt, const std::string& prefix, std::string* pValue) {
    if (text.compare(*pAt, prefix.size(), prefix) != 0) return false;
    const std::size_t uStart = *pAt + prefix.size();
    const std::size_t uEnd = text.find('\n', uStart);
    if (uEnd == std::string::npos) return false;
    *pValue = text.substr(uStart, uEnd - uStart);
    *pAt = uEnd + 1;
    return true;
}

}  // namespace

std::vector<LogRecord> ParseLog(const std::string& text, std::string* pError) {
    std::vector<LogRecord> records;
    std::size_t uAt = 0;
    while (uAt < text.size()) {
        LogRecord record;
        record.timeStamp = text.substr(uAt, 19);
        uAt += 19;
        bool bOk = IsTimeStamp(record.timeStamp) && text.compare(uAt, 1, "\n") == 0;
        uAt += 1;
        bOk = bOk && TakeField(text, &uAt, "Function: ", &record.function) &&
              TakeField(text, &uAt, "Line: ", &record.line);
        // The message runs to the first empty line that a record header follows.
        const std::size_t uEnd = text.find("\n\n", uAt);
        bOk = bOk && text.compare(uAt, 9, "Message: ") == 0 && uEnd != std::string::npos;
        std::size_t uNext = uEnd;
        while (bOk && uNext != std::string::npos && uNext + 2 < text.size() &&
               !IsTimeStamp(text.substr(uNext + 2, 19))) {
            uNext = text.find("\n\n", uNext + 1);
        }
        if (!bOk || uNext == std::string::npos) {
            if (pError != nullptr) *pError = text.substr(uAt > 40 ? uAt - 40 : 0, 120);
            return {};
        }
        record.message = text.substr(uAt + 9, uNext - uAt - 9);
        records.push_back(record);
        uAt = uNext + 2;
    }
    return records;
}

std::vector<std::string> Summaries(const std::vector<LogRecord>& records) {
    std::vector<std::string> summaries;
    for (const LogRecord& record : records)
        summaries.push_back(record.function + "|" + record.line + "|" + record.message);
    return summaries;
}

}  // namespace testsupport
