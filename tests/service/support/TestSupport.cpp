#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace servicetest {

namespace fs = std::filesystem;

namespace {

// Upper bounds that only stop a broken service from hanging the test run.
constexpr int kReceiveTimeoutSeconds = 30;
constexpr auto kStartTimeout = std::chrono::seconds(30);

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

// Argument and environment arrays are built before fork(): between fork()
// and exec() a threaded process may only make async-signal-safe calls.
std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

std::vector<std::string> environmentWith(const std::string& name, const std::string& value) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::string(*entry).rfind(name + "=", 0) != 0) environment.push_back(*entry);
    }
    environment.push_back(name + "=" + value);
    return environment;
}

[[noreturn]] void execOrExit(char** argv, char** envp) {
    ::execve(argv[0], argv, envp);
    static const char message[] = "exec failed\n";
    (void)!::write(STDERR_FILENO, message, sizeof message - 1);
    ::_exit(127);
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/bstest-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    check(::mkdtemp(name.data()) != nullptr, "mkdtemp failed");
    path_ = name.data();
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDirectory::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

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

std::string firstColumn(const std::string& path, const char* sql, bool& ok) {
    ok = false;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::string error = sqlite3_errmsg(db);
        sqlite3_close(db);
        return error;
    }
    sqlite3_stmt* statement = nullptr;
    std::string result;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        result = text ? reinterpret_cast<const char*>(text) : "";
        ok = true;
    } else {
        result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return result;
}

}  // namespace

long long countRows(const std::string& path) {
    bool ok = false;
    const std::string count = firstColumn(path, "SELECT count(*) FROM items;", ok);
    return ok ? std::stoll(count) : -1;
}

std::string integrityCheck(const std::string& path) {
    bool ok = false;
    return firstColumn(path, "PRAGMA integrity_check;", ok);
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    check(static_cast<bool>(out), "cannot write " + path);
}

std::string encodeQueryValue(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : value) {
        if (std::isalnum(c)) {
            encoded += static_cast<char>(c);
        } else if (c == ' ') {
            encoded += '+';
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0f];
        }
    }
    return encoded;
}

std::string clientRequest(uint16_t port, const std::string& email, const std::string& password) {
    const std::string authority = port == 80 ? "127.0.0.1" : "127.0.0.1:" + std::to_string(port);
    return "GET http://" + authority + "/as/wapi/retrieve_db?Email=" + encodeQueryValue(email) +
           "&Password=" + encodeQueryValue(password) +
           " HTTP/1.0\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
           "application/vnd.ms-powerpoint, application/vnd.ms-excel, application/msword, "
           "application/x-shockwave-flash, */*\n"
           "Accept-Language: en-us\n"
           "Pragma: no-cache\n"
           "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.0.3705; "
           ".NET CLR 1.1.4322)\n"
           "Host: 127.0.0.1\n"
           "Proxy-Connection: Keep-Alive\r\n\r\n";
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

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::string& tmpDir,
                               const std::string& stderrPath) {
    std::vector<std::string> argStrings = args;
    std::vector<std::string> envStrings = environmentWith("TMPDIR", tmpDir);
    std::vector<char*> argv = pointers(argStrings);
    std::vector<char*> envp = pointers(envStrings);
    int pipeFds[2];
    check(::pipe2(pipeFds, O_CLOEXEC) == 0, "pipe failed");
    pid_ = ::fork();
    check(pid_ >= 0, "fork failed");
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        execOrExit(argv.data(), envp.data());
    }
    ::close(pipeFds[1]);
    reader_ = std::thread([this, fd = pipeFds[0]] { readOutput(fd); });
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) stop(SIGKILL);
    if (reader_.joinable()) reader_.join();
}

void ServiceProcess::readOutput(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            outputClosed_ = true;
            changed_.notify_all();
            break;
        }
        output_.append(buffer, static_cast<size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

bool ServiceProcess::waitUntilListening() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kStartTimeout, [this] {
        return outputClosed_ || output_.find('\n') != std::string::npos;
    });
    const auto end = output_.find('\n');
    if (end == std::string::npos) return false;
    firstLine_ = output_.substr(0, end);
    const std::string prefix = "listening on 127.0.0.1:";
    if (firstLine_.rfind(prefix, 0) != 0) return false;
    port_ = static_cast<uint16_t>(std::stoi(firstLine_.substr(prefix.size())));
    return port_ != 0;
}

int ServiceProcess::stop(int signal) {
    if (pid_ > 0) ::kill(pid_, signal);
    return wait();
}

int ServiceProcess::wait() {
    int status = -1;
    if (pid_ > 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (reader_.joinable()) reader_.join();
    return status;
}

std::string ServiceProcess::output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

}  // namespace servicetest
