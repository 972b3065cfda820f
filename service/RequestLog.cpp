#include "RequestLog.h"

#include <cstdio>
#include <ctime>

namespace backupservice {

std::string printableForLog(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        result += (u > 0x20 && u < 0x7f) ? c : '?';
    }
    return result.empty() ? "-" : result;
}

std::string percentEncodeForLog(const std::string& text) {
    if (text == "-") return "%2D";
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    for (char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u > 0x20 && u < 0x7f && u != '%') {
            result += c;
        } else {
            result += '%';
            result += kHex[u >> 4];
            result += kHex[u & 0x0f];
        }
    }
    return result.empty() ? "-" : result;
}

std::string utcTimestamp(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return stamp;
}

std::string formatConnectionEvent(const std::string& client, const std::string& cause, uint64_t leftOut,
                                  std::time_t when) {
    std::string line = utcTimestamp(when) + ' ' + printableForLog(client) + ' ' + cause;
    if (leftOut > 0) line += " (" + std::to_string(leftOut) + " more not logged)";
    return line;
}

std::string formatRequestRecord(const RequestRecord& record, std::time_t when) {
    std::string line = utcTimestamp(when);
    line += ' ' + printableForLog(record.client);
    line += ' ' + printableForLog(record.method);
    line += ' ' + printableForLog(record.path);
    line += ' ' + std::to_string(record.status);
    line += ' ' + std::to_string(record.bytes);
    line += ' ' + (record.hasAccount ? percentEncodeForLog(record.account) : "-");
    char seconds[32] = "-";
    if (record.seconds >= 0) std::snprintf(seconds, sizeof seconds, "%.3f", record.seconds);
    line += ' ' + std::string(seconds);
    line += ' ' + (record.pages > 0 ? std::to_string(record.pages) : "-");
    if (record.refused) line += " refused";
    if (!record.complete) line += " incomplete";
    return line;
}

void RequestLog::open(const std::string& firstLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    put(firstLine);
    isOpen_ = true;
    opened_.notify_all();
}

void RequestLog::write(const RequestRecord& record) { putWhenOpen(formatRequestRecord(record, std::time(nullptr))); }

void RequestLog::writeEvent(const std::string& client, const std::string& cause, uint64_t leftOut) {
    putWhenOpen(formatConnectionEvent(client, cause, leftOut, std::time(nullptr)));
}

void RequestLog::putWhenOpen(const std::string& line) {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return isOpen_; });
    put(line);
}

void RequestLog::put(const std::string& line) {
    std::fputs(line.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace backupservice
