// One line per request on a stream (standard output in the service).
#pragma once

#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace backupservice {

struct RequestRecord {
    std::string client;  // peer address, e.g. "127.0.0.1"
    std::string method;
    std::string path;  // target path without the query: never credentials
    unsigned int status = 0;
    uint64_t bytes = 0;  // body bytes handed to the connection
    bool complete = true;
    bool refused = false;  // a login refused: wrong credentials or too many attempts
    bool hasAccount = false;
    std::string account{};  // the e-mail address the request named, when it named one
    double seconds = -1;    // from the request line to the reply's end; negative when unknown
    uint64_t pages = 0;     // of the snapshot a download sends; 0 for other replies
};

// "2024-05-01T10:00:00Z 127.0.0.1 GET /as/wapi/retrieve_db 200 20480
// user@example.com 0.153 5" (one line): time, client, method, path, status,
// bytes, account, seconds, pages, each "-" when unknown, followed by
// " refused" for a refused login and " incomplete" when the transfer was
// cut short.
std::string formatRequestRecord(const RequestRecord& record, std::time_t when);

// "2024-05-01T10:00:00Z 127.0.0.1 tls-handshake-failed": a connection that
// ended without a request of its own to log, with its cause. When events
// like it were left out before it, " (N more not logged)" follows.
std::string formatConnectionEvent(const std::string& client, const std::string& cause, uint64_t leftOut,
                                  std::time_t when);

// "2024-05-01T10:00:00Z"
std::string utcTimestamp(std::time_t when);

// Replaces control and non-ASCII bytes so a request cannot forge log lines.
std::string printableForLog(const std::string& text);

// The text with every byte that is no printable ASCII, every space and
// every '%' percent-encoded ("%20"), so that it stays one field of the line
// and can be read back exactly; an empty text is "-", and "-" itself is
// written "%2D".
std::string percentEncodeForLog(const std::string& text);

// Request lines wait until open() has written the start-up line, so that
// "listening on ..." is always the first line even if a client that already
// knows the port gets in before the service has announced it.
class RequestLog {
public:
    explicit RequestLog(std::FILE* out) : out_(out) {}
    void open(const std::string& firstLine);
    void write(const RequestRecord& record);
    // A line of formatConnectionEvent(), written now.
    void writeEvent(const std::string& client, const std::string& cause, uint64_t leftOut);

private:
    void put(const std::string& line);
    // Waits for open(), then puts the line.
    void putWhenOpen(const std::string& line);

    std::mutex mutex_;
    std::condition_variable opened_;
    bool isOpen_ = false;
    std::FILE* out_;
};

}  // namespace backupservice
