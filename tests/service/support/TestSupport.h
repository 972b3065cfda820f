// Helpers for the BackupService tests: scratch directories, example
// databases, the service as a child process and raw HTTP exchanges.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

// A fresh directory, removed with its contents at the end of the scope.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> entries() const;

private:
    std::string path_;
};

// Creates a database with table items(id, name, payload) holding `rows` rows.
void createDatabase(const std::string& path, int rows, bool wal);
// Row count of items; -1 when the file cannot be read as a database.
long long countRows(const std::string& path);
// The result of PRAGMA integrity_check ("ok" for a sound database), or the
// error message when the file cannot be read.
std::string integrityCheck(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

// Percent-encodes a query value the way the backup client does: letters and
// digits stay, space becomes '+', everything else %XX in upper-case hex.
std::string encodeQueryValue(const std::string& value);

// The exact bytes the backup client sends for a download request.
std::string clientRequest(uint16_t port, const std::string& email, const std::string& password);

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
HttpReply sendRequest(uint16_t port, const std::string& request,
                      const std::string& from = "127.0.0.1",
                      const std::function<void()>& atFirstBodyByte = {});

// A connection from `from` to 127.0.0.1:port; -1 when it cannot be made.
int connectFrom(uint16_t port, const std::string& from);

// Reads a reply from `fd` until the server closes it (or the receive timeout
// of connectFrom passes), `chunk` bytes at a time with `pause` after each
// read, and closes `fd`.
HttpReply readReply(int fd, size_t chunk = 65536, std::chrono::milliseconds pause = {});

// BackupService as a child process. Its standard output is collected by a
// thread; its standard error goes to a file.
class ServiceProcess {
public:
    ServiceProcess(const std::vector<std::string>& args, const std::string& tmpDir,
                   const std::string& stderrPath);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // Waits for the first output line; true when it announced a port.
    bool waitUntilListening();
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& firstLine() const { return firstLine_; }

    // Sends the signal, waits for the process and the end of its output.
    // Returns the exit status as from waitpid.
    int stop(int signal);
    // Waits for the process to end by itself; returns as stop() does.
    int wait();
    // All standard output so far (complete once stop() has returned).
    std::string output();

private:
    void readOutput(int fd);

    pid_t pid_ = -1;
    uint16_t port_ = 0;
    std::string firstLine_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    bool outputClosed_ = false;
    std::thread reader_;
};

}  // namespace servicetest
