// What the BackupService tests need beyond the shared support of
// tests/support: example databases, the client's download request, and raw
// HTTP exchanges over loopback sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace servicetest {

// Creates a database with table items(id, name, payload) holding `rows` rows.
void createDatabase(const std::string& path, int rows, bool wal);
// Row count of items; -1 when the file cannot be read as a database.
long long countRows(const std::string& path);
// The result of PRAGMA integrity_check ("ok" for a sound database), or the
// error message when the file cannot be read.
std::string integrityCheck(const std::string& path);

// The exact bytes the backup client sends for a download request to
// 127.0.0.1:port, built by the client's own code.
std::string downloadRequest(uint16_t port, const std::string& email, const std::string& password);

struct HttpReply {
    bool received = false;        // a status line arrived
    bool closedByServer = false;  // reading ended because the server closed
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    double secondsToFirstBodyByte = -1;  // from sending the request; -1 for no body

    // A header's value ("" when absent); name in lower case.
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? "" : found->second;
    }
};

// Sends `request` to 127.0.0.1:port from the loopback address `from` and
// reads until the server closes the connection. A generous receive timeout
// only keeps a broken service from hanging the test; closedByServer tells
// which way reading ended. `atFirstBodyByte`, when given, runs once as soon
// as the first body bytes have arrived.
HttpReply sendRequest(uint16_t port, const std::string& request, const std::string& from = "127.0.0.1",
                      const std::function<void()>& atFirstBodyByte = {});

// A connection from `from` to 127.0.0.1:port; -1 when it cannot be made.
int connectFrom(uint16_t port, const std::string& from);

// Reads a reply from `fd` until the server closes it (or the receive timeout
// of connectFrom passes), `chunk` bytes at a time with `pause` after each
// read, and closes `fd`.
HttpReply readReply(int fd, size_t chunk = 65536, std::chrono::milliseconds pause = {});

}  // namespace servicetest
