#include "support/ServiceSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Database.h"
#include "SocketManager/HTTPConnection.h"
#include "utility/Utility.h"

namespace servicetest {

namespace {

// An upper bound that only stops a broken service from hanging the test run.
constexpr int kReceiveTimeoutSeconds = 30;

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

}  // namespace

void createDatabase(const std::string& path, int rows, bool wal) {
    sqlite3* db = nullptr;
    check(sqlite3_open(path.c_str(), &db) == SQLITE_OK, "cannot create " + path);
    std::string sql = std::string("PRAGMA journal_mode=") + (wal ? "WAL" : "DELETE") + ";" +
                      "CREATE TABLE items(id INTEGER PRIMARY KEY, name TEXT, payload BLOB);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                      std::to_string(rows) +
                      ") INSERT INTO items(name, payload) SELECT 'item ' || i, randomblob(64) "
                      "FROM n;";
    if (rows <= 0) sql = sql.substr(0, sql.find("WITH RECURSIVE"));
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    const std::string error = sqlite3_errmsg(db);
    sqlite3_close(db);
    check(rc == SQLITE_OK, "cannot fill " + path + ": " + error);
}

namespace {

// The first column of the first row, read on a read-only connection; false
// with the reason in *text when it cannot be read.
bool firstColumn(const std::string& path, const char* sql, std::string* text) {
    backupservice::Database db;
    backupservice::Status status = backupservice::openDatabase(path, SQLITE_OPEN_READONLY, nullptr, "database", &db);
    if (status.ok()) status = backupservice::queryText(db.get(), sql, text);
    if (!status.ok()) *text = status.message();
    return status.ok();
}

}  // namespace

long long countRows(const std::string& path) {
    std::string count;
    return firstColumn(path, "SELECT count(*) FROM items;", &count) ? std::stoll(count) : -1;
}

std::string integrityCheck(const std::string& path) {
    std::string result;
    firstColumn(path, "PRAGMA integrity_check;", &result);
    return result;
}

std::string downloadRequest(uint16_t port, const std::string& email, const std::string& password) {
    const std::string path = "/as/wapi/retrieve_db?Email=" + UrlEncode(email) + "&Password=" + UrlEncode(password);
    return HTTPConnection::BuildRequest("127.0.0.1", port, path.c_str(), "", "", nullptr, 0);
}

int connectFrom(uint16_t port, const std::string& from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(fd >= 0, "socket failed");
    timeval timeout{kReceiveTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

// Fills the status, headers and body of `reply` from the bytes received.
void parseReply(const std::string& data, HttpReply& reply) {
    const auto headerEnd = data.find("\r\n\r\n");
    if (data.rfind("HTTP/", 0) != 0 || headerEnd == std::string::npos) return;
    reply.received = true;
    reply.status = std::atoi(data.c_str() + data.find(' ') + 1);
    size_t line = data.find("\r\n") + 2;
    while (line < headerEnd) {
        const size_t next = data.find("\r\n", line);
        const std::string header = data.substr(line, next - line);
        const auto colon = header.find(':');
        if (colon != std::string::npos) {
            std::string name = header.substr(0, colon);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            const auto value = header.find_first_not_of(' ', colon + 1);
            reply.headers[name] = value == std::string::npos ? "" : header.substr(value);
        }
        line = next + 2;
    }
    reply.body = data.substr(headerEnd + 4);
}

}  // namespace

HttpReply sendRequest(uint16_t port, const std::string& request, const std::string& from,
                      const std::function<void()>& atFirstBodyByte) {
    HttpReply reply;
    const int fd = connectFrom(port, from);
    if (fd < 0) throw std::runtime_error("cannot connect to port " + std::to_string(port));
    const auto sentAt = std::chrono::steady_clock::now();
    size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::string data;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            reply.closedByServer = true;
            break;
        }
        if (n < 0) break;  // timeout or error: the server did not close
        data.append(buffer, static_cast<size_t>(n));
        if (reply.secondsToFirstBodyByte >= 0) continue;
        const auto headerEnd = data.find("\r\n\r\n");
        if (headerEnd != std::string::npos && data.size() > headerEnd + 4) {
            reply.secondsToFirstBodyByte =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - sentAt).count();
            if (atFirstBodyByte) atFirstBodyByte();
        }
    }
    ::close(fd);
    parseReply(data, reply);
    return reply;
}

HttpReply readReply(int fd, size_t chunk, std::chrono::milliseconds pause) {
    HttpReply reply;
    std::string data;
    std::vector<char> buffer(chunk);
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            reply.closedByServer = n == 0;
            break;
        }
        data.append(buffer.data(), static_cast<size_t>(n));
        std::this_thread::sleep_for(pause);
    }
    ::close(fd);
    parseReply(data, reply);
    return reply;
}

}  // namespace servicetest
