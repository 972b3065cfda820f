// Runs BackupService as a child process and talks to it over loopback
// sockets the way the backup client does.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "Limits.h"
#include "support/ServiceSupport.h"
#include "support/TestFiles.h"
#include "support/TestProcess.h"
#include "utility/Utility.h"

using namespace servicetest;
using backupservice::kBusyRetrySeconds;
using backupservice::kConnectionsPerAddress;
using backupservice::kHandshakeSeconds;
using backupservice::kLoginWindowSeconds;
using backupservice::kMaxAddressLoginFailures;
using backupservice::kMaxLoginFailures;
using backupservice::kRequestSeconds;
using backupservice::kUnfinishedGraceSeconds;
using testsupport::ListFiles;
using testsupport::TempDir;
using testsupport::WriteFile;
using Seconds = std::chrono::duration<double>;

namespace {

const std::string kExe = BACKUPSERVICE_EXE;
const std::string kFailurePrefix = "<__Status__>FAILED</__Status__>";
const std::string kInvalidCredentials =
    "<__Status__>FAILED</__Status__><__Reason__>Invalid e-mail address or password</__Reason__>";
const std::string kNotFound = "<__Status__>FAILED</__Status__><__Reason__>Not found</__Reason__>";
const std::string kTooManyAttempts =
    "<__Status__>FAILED</__Status__><__Reason__>Too many attempts with a wrong e-mail address or "
    "password; try again later</__Reason__>";
const std::string kDatabaseBusy =
    "<__Status__>FAILED</__Status__><__Reason__>The database was busy (another program held it "
    "locked); try again later</__Reason__>";
const std::string kBodyRefused =
    "<__Status__>FAILED</__Status__><__Reason__>A request must not carry a body</__Reason__>";
const std::string kBadRequest = "<__Status__>FAILED</__Status__><__Reason__>Bad request</__Reason__>";
const std::string kServiceBusy =
    "<__Status__>FAILED</__Status__><__Reason__>The service was busy with other downloads; try again "
    "later</__Reason__>";
const std::string kMissingCredentials =
    "<__Status__>FAILED</__Status__><__Reason__>The request needs both an Email and a Password value</__Reason__>";
const std::string kMethodNotAllowed =
    "<__Status__>FAILED</__Status__><__Reason__>Method not allowed; the backup is fetched with GET</__Reason__>";

const std::string kUser = "user@example.com";
const std::string kPassword = "secret";
// Needs every kind of encoding: space, plus, colon, percent, ampersand.
const std::string kOtherUser = "second@example.org";
const std::string kOtherPassword = "Pa55 w+rd:%&=zq";

const std::string kOpenssl = "/usr/bin/openssl";
const std::string kCurl = "/usr/bin/curl";
// The first half of a TLS ClientHello: a record header for 512 bytes and
// the start of the message.
const std::string kHalfClientHello = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + std::string(40, 'a');

// Only stops a broken service from hanging the test run.
constexpr int kStartMilliseconds = 30000;
constexpr int kRows = 300;
constexpr int kManyRows = 200000;  // about 18 MB, more than the sockets buffer

size_t count(const std::string& text, const std::string& part) {
    size_t found = 0;
    for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++found;
    return found;
}

// The lines of `out` that match `pattern` whole.
size_t matchingLines(const std::string& out, const std::string& pattern) {
    const std::regex line(pattern);
    size_t found = 0;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        found += std::regex_match(out.substr(start, end - start), line);
    }
    return found;
}

// The start of a request's log line: its time and client, up to the method.
const std::string kLogged = "[0-9T:-]+Z ";
// The duration field of a log line.
const std::string kSeconds = " [0-9]+\\.[0-9]{3} ";

// Log lines of 'busy' replies to `client` (a pattern), refused before
// their query was read: no account, no pages.
size_t busyLines(const std::string& out, const std::string& client) {
    return matchingLines(out, kLogged + client + " GET /as/wapi/retrieve_db 503 " +
                                  std::to_string(kServiceBusy.size()) + " -" + kSeconds + "-");
}

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// Inserts rows in transactions of kBatch until told to stop, so a
// consistent copy always holds a multiple of kBatch rows.
constexpr int kBatch = 50;
constexpr int kMaxBatches = 20000;

void keepWriting(const std::string& path, std::atomic<bool>& stop, std::atomic<int>& commits,
                 std::atomic<bool>& finished) {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        finished = true;
        return;
    }
    sqlite3_busy_timeout(db, 10000);
    const std::string batch =
        "BEGIN IMMEDIATE; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
        "WHERE i < " +
        std::to_string(kBatch) +
        ") INSERT INTO items(name, payload) "
        "SELECT 'more', randomblob(200) FROM n; COMMIT;";
    for (int i = 0; i < kMaxBatches && !stop; ++i) {
        if (sqlite3_exec(db, batch.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
            ++commits;
        } else {
            sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        }
        // No pause between transactions: a reader must still get in.
    }
    sqlite3_close(db);
    finished = true;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { startService(false); }

    // Accounts come from --account, or from an accounts file when
    // `accountsFile` is set.
    void startService(bool wal, std::vector<std::string> extra = {}, int rows = kRows, bool accountsFile = false) {
        service.reset();
        database = work.File("live-" + std::to_string(++started) + ".db");
        createDatabase(database, rows, wal);
        std::vector<std::string> args = {"--database", database,
                                         "--account",  kUser + ":" + kPassword,
                                         "--account",  kOtherUser + ":" + kOtherPassword};
        if (accountsFile) {
            const std::string path = work.File("accounts");
            WriteFile(path, kUser + ":" + kPassword + "\n" + kOtherUser + ":" + kOtherPassword + "\n");
            ::chmod(path.c_str(), 0600);
            args = {"--database", database, "--accounts-file", path};
        }
        args.insert(args.end(), extra.begin(), extra.end());
        service =
            std::make_unique<testprocess::Child>(kExe, args, work.Path(), snapshots.Path(), work.File("stderr.txt"));
        ASSERT_TRUE(service->Started());
        const std::string firstLine = service->WaitForFirstLine(kStartMilliseconds);
        const std::string& prefix = listenPrefix;
        ASSERT_EQ(firstLine.rfind(prefix, 0), 0u) << service->Output();
        servicePort = static_cast<uint16_t>(std::stoi(firstLine.substr(prefix.size())));
        ASSERT_NE(servicePort, 0) << firstLine;
    }

    HttpReply get(const std::string& target, const std::string& method = "GET", const std::string& from = "127.0.0.1") {
        return sendRequest(servicePort, method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", from);
    }

    // A download request as a reverse proxy at `from` passes it on, with
    // `forwardedFor` as its X-Forwarded-For.
    HttpReply forwarded(const std::string& from, const std::string& forwardedFor, const std::string& email,
                        const std::string& password) {
        return sendRequest(servicePort, forwardedRequest(forwardedFor, email, password), from);
    }

    static std::string forwardedRequest(const std::string& forwardedFor, const std::string& email,
                                        const std::string& password) {
        return "GET /as/wapi/retrieve_db?Email=" + UrlEncode(email) + "&Password=" + UrlEncode(password) +
               " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Forwarded-For: " + forwardedFor + "\r\n\r\n";
    }

    HttpReply download(const std::string& from = "127.0.0.1", const std::function<void()>& atFirstBodyByte = {}) {
        return sendRequest(servicePort, downloadRequest(servicePort, kUser, kPassword), from, atFirstBodyByte);
    }

    // Sends a download request and waits, without reading any, until its
    // first bytes have come: the download is under way. `receiveBuffer`,
    // when not 0, keeps what the connection takes unread small; `request`,
    // when not empty, replaces the usual one.
    int startDownload(const std::string& from = "127.0.0.1", int receiveBuffer = 0, std::string request = {}) {
        const int fd = connectFrom(servicePort, from);
        EXPECT_GE(fd, 0);
        if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        if (request.empty()) request = downloadRequest(servicePort, kUser, kPassword);
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, MSG_PEEK), 1) << "the download did not start";
        return fd;
    }

    // Opens all the connections one address may have from each of 127.0.0.2
    // and 127.0.0.3, each sending `start`; stops at the first that fails.
    std::vector<int> fillFromTwoAddresses(const std::string& start) {
        std::vector<int> opened;
        for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
            for (unsigned int i = 0; i < kConnectionsPerAddress; ++i) {
                const int fd = connectFrom(servicePort, from);
                if (fd < 0) return opened;
                ::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
                opened.push_back(fd);
            }
        }
        return opened;
    }

    std::string errors() const { return testsupport::ReadFile(work.File("stderr.txt")); }

    // Makes a self-signed certificate for 127.0.0.1 and ::1 and its key;
    // their paths, or empty ones when openssl cannot.
    std::pair<std::string, std::string> makeCertificate() {
        const std::string certificate = work.File("tls.crt");
        const std::string key = work.File("tls.key");
        const std::vector<std::vector<std::string>> steps = {
            {"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key},
            {"req", "-x509", "-key", key, "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
             "subjectAltName=IP:127.0.0.1,IP:::1", "-out", certificate}};
        for (const auto& step : steps) {
            if (testprocess::Run(kOpenssl, step, work.Path(), work.Path()).iExitCode != 0) return {};
        }
        ::chmod(key.c_str(), 0600);
        return {certificate, key};
    }

    // Downloads `url` with curl into `file`, trusting `certificate`; curl's
    // exit code.
    int curlDownload(const std::string& url, const std::string& certificate, const std::string& file) {
        return testprocess::Run(
                   kCurl, {"-sS", "--fail", "--globoff", "--max-time", "30", "--cacert", certificate, "-o", file, url},
                   work.Path(), work.Path())
            .iExitCode;
    }

    std::string retrievePath() const {
        return "/as/wapi/retrieve_db?Email=" + UrlEncode(kUser) + "&Password=" + kPassword;
    }

    // Saves a download and checks it is a sound copy; returns its row count.
    long long checkDownload(const HttpReply& reply, const std::string& name) {
        EXPECT_TRUE(reply.received);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("content-type"), "application/octet-stream");
        EXPECT_EQ(reply.header("content-length"), std::to_string(reply.body.size()));
        EXPECT_TRUE(reply.closedByServer);
        const std::string path = results.File(name);
        WriteFile(path, reply.body);
        EXPECT_EQ(integrityCheck(path), "ok") << name;
        return countRows(path);
    }

    // Downloads ten copies while another connection inserts rows in a tight
    // loop; every copy must arrive at the first attempt, sound and holding
    // only whole transactions.
    void downloadWhileWriting() {
        std::atomic<bool> stop{false};
        std::atomic<int> commits{0};
        std::atomic<bool> finished{false};
        std::thread writer(keepWriting, database, std::ref(stop), std::ref(commits), std::ref(finished));
        while (commits == 0 && !finished) std::this_thread::yield();  // writer under way
        ASSERT_GT(commits, 0) << "the writer could not write";

        const uint16_t port = servicePort;
        long long previous = kRows;
        for (int i = 0; i < 10; ++i) {
            const HttpReply reply = sendRequest(port, downloadRequest(port, kUser, kPassword));
            const long long rows = checkDownload(reply, "during-writes-" + std::to_string(i) + ".db");
            EXPECT_EQ(rows % kBatch, 0) << "a copy caught a transaction half-way";
            EXPECT_GE(rows, previous);
            previous = rows;
        }
        stop = true;
        writer.join();
        EXPECT_GT(previous, kRows) << "the copies should include the writer's rows";
        EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
    }

    TempDir work;
    TempDir snapshots;
    TempDir results;
    std::string database;
    int started = 0;
    std::unique_ptr<testprocess::Child> service;
    std::string listenPrefix = "listening on 127.0.0.1:";  // of the first line, before the port
    uint16_t servicePort = 0;                              // the one it announced
};

}  // namespace

TEST_F(ServiceTest, ClientRequestBytesGetTheDatabase) {
    const HttpReply reply = sendRequest(servicePort, downloadRequest(servicePort, kUser, kPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
    EXPECT_EQ(reply.header("connection"), "close");
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

TEST_F(ServiceTest, OriginFormAndEncodedValuesWork) {
    const HttpReply reply =
        get("/as/wapi/retrieve_db?Email=" + UrlEncode("Second@Example.ORG") + "&Password=" + UrlEncode(kOtherPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
}

// Refusals are 403 with the tagged reason. Five with one account shut
// 127.0.0.1 out of that account for a minute: even the right password is
// refused unchecked, 429 with a Retry-After. Another account from there, and
// that account from another address, are served; an address that fails
// often enough with any accounts is shut out of all of them.
TEST_F(ServiceTest, RefusedCredentialsGet403ThenTooManyAttemptsForThatAccount) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {kUser, "wrong"}, {kUser, "secreT"}, {kUser, kOtherPassword}, {"USER@example.com", ""}, {kUser, "secret "},
    };
    ASSERT_EQ(refused.size(), kMaxLoginFailures);
    for (const auto& [email, password] : refused) {
        const HttpReply reply = sendRequest(servicePort, downloadRequest(servicePort, email, password));
        EXPECT_EQ(reply.status, 403) << email << " / " << password;
        EXPECT_EQ(reply.body, kInvalidCredentials) << email << " / " << password;
        EXPECT_TRUE(reply.closedByServer);
    }
    const HttpReply shutOut = download();
    EXPECT_EQ(shutOut.status, 429);
    EXPECT_EQ(shutOut.body, kTooManyAttempts);
    const int retryAfter = std::atoi(shutOut.header("retry-after").c_str());
    EXPECT_GE(retryAfter, static_cast<int>(kLoginWindowSeconds) - 5) << shutOut.header("retry-after");
    EXPECT_LE(retryAfter, static_cast<int>(kLoginWindowSeconds));
    EXPECT_EQ(checkDownload(sendRequest(servicePort, downloadRequest(servicePort, kOtherUser, kOtherPassword)),
                            "other-account.db"),
              kRows);
    EXPECT_EQ(checkDownload(download("127.0.0.2"), "other-address.db"), kRows);

    for (unsigned int i = 0; i < kMaxAddressLoginFailures; ++i) {
        const std::string account = "guess" + std::to_string(i % (kMaxAddressLoginFailures / kMaxLoginFailures + 1));
        EXPECT_EQ(
            sendRequest(servicePort, downloadRequest(servicePort, account + "@example.com", kPassword), "127.0.0.3")
                .status,
            403);
    }
    EXPECT_EQ(download("127.0.0.3").status, 429) << "the address tried too many accounts";
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());

    service->Stop(SIGTERM);
    const std::string out = service->Output();
    const std::string refusedBytes = std::to_string(kInvalidCredentials.size());
    EXPECT_EQ(matchingLines(out, kLogged + "127\\.0\\.0\\.1 GET /as/wapi/retrieve_db 403 " + refusedBytes +
                                     " (user|USER)@example\\.com" + kSeconds + "- refused"),
              refused.size())
        << out;
    EXPECT_EQ(matchingLines(out, kLogged + "127\\.0\\.0\\.1 GET /as/wapi/retrieve_db 429 " +
                                     std::to_string(kTooManyAttempts.size()) + " user@example\\.com" + kSeconds +
                                     "- refused"),
              1u)
        << out;
}

// A request without an Email or a Password value, as a health check sends,
// is 400 and no failed login: many of them shut nobody out.
TEST_F(ServiceTest, RequestsWithoutCredentialsAreBadRequestsNotFailedLogins) {
    const std::string path = "/as/wapi/retrieve_db";
    for (const std::string& target : {path, path + "?Email=" + UrlEncode(kUser), path + "?Password=" + kPassword}) {
        for (unsigned int i = 0; i <= kMaxLoginFailures; ++i) {
            const HttpReply reply = get(target);
            EXPECT_EQ(reply.status, 400) << target;
            EXPECT_EQ(reply.body, kMissingCredentials) << target;
        }
    }
    EXPECT_EQ(checkDownload(download(), "after-health-checks.db"), kRows);
    service->Stop(SIGTERM);
    EXPECT_EQ(count(service->Output(), " refused"), 0u) << service->Output();
    EXPECT_EQ(matchingLines(service->Output(), kLogged + "127\\.0\\.0\\.1 GET /as/wapi/retrieve_db 400 " +
                                                   std::to_string(kMissingCredentials.size()) + " user@example\\.com" +
                                                   kSeconds + "-"),
              kMaxLoginFailures + 1)
        << "the e-mail address is logged when it is given";
}

// Behind a trusted proxy each forwarded client counts on its own: one that
// fails locks out neither the others nor the proxy's own address, and the
// log names the client. The header of an untrusted peer is ignored.
TEST_F(ServiceTest, TrustedProxyKeepsOneForwardedClientFromLockingOutAnother) {
    startService(false, {"--trusted-proxy", "127.0.0.2", "--trusted-proxy", "10.0.0.0/8"});
    for (unsigned int i = 0; i < kMaxLoginFailures; ++i) {
        EXPECT_EQ(forwarded("127.0.0.2", "203.0.113.1", kUser, "wrong").status, 403);
        EXPECT_EQ(forwarded("127.0.0.3", "203.0.113.9", kUser, "wrong").status, 403);
    }
    EXPECT_EQ(forwarded("127.0.0.2", "203.0.113.1", kUser, kPassword).status, 429);
    EXPECT_EQ(forwarded("127.0.0.2", "203.0.113.1, 10.1.2.3", kUser, kPassword).status, 429) << "a proxy chain";
    EXPECT_EQ(checkDownload(forwarded("127.0.0.2", "203.0.113.2", kUser, kPassword), "neighbour.db"), kRows);
    EXPECT_EQ(checkDownload(forwarded("127.0.0.2", "203.0.113.1, 198.51.100.7", kUser, kPassword), "forged-left.db"),
              kRows)
        << "only the nearest untrusted address counts";
    EXPECT_EQ(checkDownload(download("127.0.0.2"), "proxy-itself.db"), kRows);
    EXPECT_EQ(forwarded("127.0.0.3", "203.0.113.2", kUser, kPassword).status, 429) << "an untrusted peer's header";

    service->Stop(SIGTERM);
    const std::string out = service->Output();
    EXPECT_EQ(count(out, " 203.0.113.1 GET /as/wapi/retrieve_db 403 "), kMaxLoginFailures) << out;
    EXPECT_EQ(count(out, " 198.51.100.7 GET /as/wapi/retrieve_db 200 "), 1u) << out;
    EXPECT_EQ(count(out, " 127.0.0.3 GET /as/wapi/retrieve_db 403 "), kMaxLoginFailures) << out;
    EXPECT_EQ(count(out, "203.0.113.9"), 0u) << out;
    EXPECT_EQ(count(out, " 127.0.0.2 GET /as/wapi/retrieve_db 403 "), 0u) << out;
}

// Behind a trusted proxy the per-address limit counts each forwarded
// client's requests, not the proxy's connections: one client holding all
// the downloads it may does not stop another behind the same proxy, one
// more from it is answered 'busy' and logged under its address, and it is
// served again once its downloads have ended.
TEST_F(ServiceTest, TrustedProxyHoldsEachForwardedClientToItsOwnPlaces) {
    startService(false, {"--trusted-proxy", "127.0.0.2"}, kManyRows);
    std::vector<int> held;
    for (unsigned int i = 0; i < kConnectionsPerAddress; ++i) {
        held.push_back(startDownload("127.0.0.2", 16384, forwardedRequest("203.0.113.1", kUser, kPassword)));
    }
    const HttpReply busy = forwarded("127.0.0.2", "203.0.113.1", kUser, kPassword);
    EXPECT_EQ(busy.status, 503) << "a forwarded client got more places than it may";
    EXPECT_TRUE(busy.body == kServiceBusy);  // not EXPECT_EQ: a download would be printed whole
    EXPECT_EQ(busy.header("retry-after"), std::to_string(kBusyRetrySeconds));
    EXPECT_EQ(checkDownload(forwarded("127.0.0.2", "203.0.113.2", kUser, kPassword), "neighbour.db"), kManyRows);
    for (const int fd : held) ::close(fd);
    const auto closed = std::chrono::steady_clock::now();
    HttpReply again;
    do {
        again = forwarded("127.0.0.2", "203.0.113.1", kUser, kPassword);
    } while (again.status == 503 && since(closed) < 5.0);
    EXPECT_EQ(checkDownload(again, "again.db"), kManyRows) << "places outlived their downloads";

    service->Stop(SIGTERM);
    const std::string out = service->Output();
    EXPECT_GE(busyLines(out, "203\\.0\\.113\\.1"), 1u) << out;
    EXPECT_EQ(count(out, " 203.0.113.2 GET /as/wapi/retrieve_db 200 "), 1u) << out;
    EXPECT_EQ(count(out, " 127.0.0.2 "), 0u) << out;
}

// Other paths are not found; the download path answers other methods than
// GET with 405 and Allow: GET, HEAD without a body and without a snapshot.
TEST_F(ServiceTest, OtherPathsAreNotFoundAndOtherMethodsNotAllowed) {
    const std::string credentials = "?Email=user%40example.com&Password=secret";
    for (const std::string& target : {std::string("/"), std::string("/as/wapi/other") + credentials,
                                      std::string("http://127.0.0.1/as/retrieve_db") + credentials}) {
        const HttpReply reply = get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body, kNotFound) << target;
        EXPECT_TRUE(reply.closedByServer);
    }
    EXPECT_EQ(get("/other", "POST").status, 404);
    for (const char* method : {"HEAD", "POST", "OPTIONS", "PUT", "DELETE", "get"}) {
        const HttpReply reply = get("/as/wapi/retrieve_db" + credentials, method);
        EXPECT_EQ(reply.status, 405) << method;
        EXPECT_EQ(reply.header("allow"), "GET") << method;
        EXPECT_EQ(reply.body, std::string(method) == "HEAD" ? "" : kMethodNotAllowed) << method;
        EXPECT_TRUE(reply.closedByServer) << method;
    }
    service->Stop(SIGTERM);
    EXPECT_EQ(count(service->Output(), " HEAD /as/wapi/retrieve_db 405 0 - "), 1u) << service->Output();
    EXPECT_EQ(count(service->Output(), " 405 " + std::to_string(kMethodNotAllowed.size()) + " - "), 5u);
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

TEST_F(ServiceTest, CopiesTakenDuringWritesAreConsistentRollbackJournal) { downloadWhileWriting(); }

TEST_F(ServiceTest, CopiesTakenDuringWritesAreConsistentWal) {
    startService(true);
    downloadWhileWriting();
}

TEST_F(ServiceTest, LogsOneLinePerRequestWithoutPasswords) {
    const uint16_t port = servicePort;
    const HttpReply first = sendRequest(port, downloadRequest(port, kUser, kPassword));
    sendRequest(port, downloadRequest(port, kOtherUser, kOtherPassword));
    sendRequest(port, downloadRequest(port, kUser, "not-" + kOtherPassword));
    get("/nothing/here?Password=" + UrlEncode(kOtherPassword));

    const int status = service->Stop(SIGTERM);
    ASSERT_LT(status, 128) << "ended by a signal";
    EXPECT_EQ(status, 0);

    const std::string out = service->Output();
    EXPECT_EQ(out.rfind("listening on 127.0.0.1:" + std::to_string(port) + "\n", 0), 0u) << out;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 6u) << out;
    // A request's line is written as its connection ends, so two quick
    // requests may log in either order; count instead of indexing.
    const auto count = [&lines](const std::string& part) {
        return std::count_if(lines.begin() + 1, lines.end() - 1,
                             [&part](const std::string& l) { return l.find(part) != std::string::npos; });
    };
    EXPECT_EQ(count(" 127.0.0.1 GET /as/wapi/retrieve_db 200 "), 2) << out;
    EXPECT_EQ(count(" 127.0.0.1 GET /as/wapi/retrieve_db 403 90 user@example.com "), 1) << out;
    EXPECT_EQ(count(" refused"), 1) << out;
    EXPECT_EQ(matchingLines(out, kLogged + "127\\.0\\.0\\.1 GET /nothing/here 404 65 -" + kSeconds + "-"), 1u) << out;
    // A download names its account, its size, its duration and its pages.
    const std::smatch download = [&out, &first] {
        std::smatch match;
        const std::regex line(kLogged + "127\\.0\\.0\\.1 GET /as/wapi/retrieve_db 200 " +
                              std::to_string(first.body.size()) + " user@example\\.com ([0-9]+\\.[0-9]{3}) ([0-9]+)\n");
        std::regex_search(out, match, line);
        return match;
    }();
    ASSERT_EQ(download.size(), 3u) << out;
    EXPECT_LT(std::stod(download[1]), 30.0);
    const unsigned long pageSize =
        (static_cast<unsigned char>(first.body[16]) << 8) | static_cast<unsigned char>(first.body[17]);
    EXPECT_EQ(std::stoul(download[2]) * pageSize, first.body.size()) << out;
    EXPECT_EQ(lines[5], "stopped (SIGTERM)");
    for (const std::string& secret : {kPassword, kOtherPassword, UrlEncode(kOtherPassword), std::string("Password")}) {
        EXPECT_EQ(out.find(secret), std::string::npos) << "found '" << secret << "' in\n" << out;
    }
}

TEST_F(ServiceTest, LockedDatabaseGetsTheBusyReasonWellWithinSevenSeconds) {
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; DELETE FROM items;", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    const HttpReply busy = download();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, kDatabaseBusy);
    EXPECT_EQ(busy.header("retry-after"), std::to_string(kBusyRetrySeconds));
    EXPECT_GT(seconds, 4.0) << "gave up without waiting for the writer";
    EXPECT_LT(seconds, 6.0) << "the client gives up after 7 s of silence";
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(checkDownload(download(), "after-lock.db"), kRows);
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

// A database whose copy takes a good part of a second here: the reply must
// start at once, while the copy still runs (its file still has a name).
TEST_F(ServiceTest, FirstBytesComeWhileTheCopyStillRuns) {
    constexpr int kLargeRows = 450000;  // about 40 MB
    startService(false, {}, kLargeRows);
    bool copyRunning = false;
    const HttpReply reply =
        download("127.0.0.1", [this, &copyRunning] { copyRunning = !ListFiles(snapshots.Path()).empty(); });
    EXPECT_GE(reply.secondsToFirstBodyByte, 0.0);
    EXPECT_LT(reply.secondsToFirstBodyByte, 1.0);
    EXPECT_TRUE(copyRunning) << "the first bytes waited for the whole copy";
    EXPECT_EQ(checkDownload(reply, "large.db"), kLargeRows);
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

// A download still under way keeps its snapshot, and later requests may
// share it only while nothing has been committed since it began and the path
// still names the same file: a commit made meanwhile, also one to a copy
// renamed over the database (as administrators restore), must be in the next
// download, and the replaced file must not stay open.
TEST_F(ServiceTest, CommitsAndRenamesMadeDuringAnotherDownloadAreInTheNextOne) {
    startService(false, {}, kManyRows);
    const auto commit = [this] {
        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(database.c_str(), &writer), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(writer, "INSERT INTO items(name) VALUES('late');", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(writer);
    };
    int paused = startDownload();
    EXPECT_EQ(checkDownload(download(), "shared.db"), kManyRows);
    commit();
    EXPECT_EQ(checkDownload(download(), "after-commit.db"), kManyRows + 1);
    ::close(paused);

    paused = startDownload();
    const std::string restored = work.File("restored.db");
    std::filesystem::copy_file(database, restored);
    ASSERT_EQ(::rename(restored.c_str(), database.c_str()), 0);
    commit();
    EXPECT_EQ(checkDownload(download(), "after-rename.db"), kManyRows + 2);
    ::close(paused);

    // Once the copy that read it is done, nothing holds the replaced file.
    const std::string fds = "/proc/" + std::to_string(service->Pid()) + "/fd";
    bool held = true;
    for (int attempt = 0; attempt < 50 && held; ++attempt) {
        held = false;
        for (const auto& entry : std::filesystem::directory_iterator(fds)) {
            std::error_code ignored;
            held = held || std::filesystem::read_symlink(entry.path(), ignored).string() == database + " (deleted)";
        }
        if (held) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(held) << "the replaced database is still open";
}

// One address holds all the connections it may, each trickling in a header
// line every second: one more from it is answered 'busy' at once; another
// address is served; once they have lingered past the grace, a new one from
// the same address closes the oldest and is served; the rest are closed when
// the request deadline passes. The closings are logged, one line each per
// address and cause.
TEST_F(ServiceTest, SlowConnectionsFromOneAddressDoNotLockOutAnother) {
    const uint16_t port = servicePort;
    std::vector<int> slow;
    for (unsigned int i = 0; i < kConnectionsPerAddress; ++i) {
        const int fd = connectFrom(port, "127.0.0.1");
        ASSERT_GE(fd, 0);
        const std::string requestLine = "GET /as/wapi/retrieve_db HTTP/1.0\r\n";
        ::send(fd, requestLine.data(), requestLine.size(), MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    const auto opened = std::chrono::steady_clock::now();
    const HttpReply busy = download();
    EXPECT_EQ(busy.status, 503) << "one address got more connections than it may";
    EXPECT_EQ(busy.body, kServiceBusy);
    EXPECT_EQ(busy.header("retry-after"), std::to_string(kBusyRetrySeconds));
    EXPECT_EQ(checkDownload(download("127.0.0.2"), "other-address.db"), kRows);
    std::this_thread::sleep_until(opened + std::chrono::milliseconds(kUnfinishedGraceSeconds * 1000 + 500));
    EXPECT_EQ(checkDownload(download(), "same-address.db"), kRows);

    const std::string kSlowLine = "X-Slow: 1\r\n";
    size_t closed = 0;
    double lastClosed = 0;
    while (closed < slow.size()) {
        const double elapsed = since(opened);
        if (elapsed > kRequestSeconds + 5) break;
        for (int& fd : slow) {
            if (fd < 0) continue;
            char byte;
            if (::recv(fd, &byte, 1, MSG_DONTWAIT) == 0 ||
                ::send(fd, kSlowLine.data(), kSlowLine.size(), MSG_NOSIGNAL) < 0) {
                ::close(fd);
                fd = -1;
                ++closed;
                lastClosed = elapsed;
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    for (int fd : slow) {
        if (fd >= 0) ::close(fd);
    }
    EXPECT_EQ(closed, slow.size()) << "slow headers kept connections open";
    EXPECT_GT(lastClosed, kRequestSeconds - 2.0) << "closed before the deadline";
    service->Stop(SIGTERM);
    const std::string out = service->Output();
    EXPECT_EQ(busyLines(out, "127\\.0\\.0\\.1"), 1u) << out;
    EXPECT_EQ(count(out, "Z 127.0.0.1 connection-limit\n"), 1u) << out;
    EXPECT_EQ(count(out, "Z 127.0.0.1 request-timeout\n"), 1u) << out;
}

// Requests that declare a body trickling it in, all a connection slot and
// an address may hold from each of two addresses, are answered 413 at once
// without the body being read, so a third address downloads as usual.
TEST_F(ServiceTest, TricklingBodiesFromTwoAddressesDoNotDelayAThird) {
    const std::string request = "GET /as/wapi/retrieve_db?Email=" + UrlEncode(kUser) + "&Password=" + kPassword +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\nx";
    const std::vector<int> trickling = fillFromTwoAddresses(request);
    ASSERT_EQ(trickling.size(), 2 * kConnectionsPerAddress);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(checkDownload(download(), "third-address.db"), kRows);
    EXPECT_LT(since(start), 2.0);
    size_t refused = 0;
    for (const int fd : trickling) {
        ::send(fd, "y", 1, MSG_NOSIGNAL);  // the next byte of the trickle
        const HttpReply reply = readReply(fd);
        refused += reply.status == 413 && reply.body == kBodyRefused && reply.closedByServer;
    }
    EXPECT_EQ(refused, trickling.size());
    service->Stop(SIGTERM);
    EXPECT_EQ(count(service->Output(), " GET /as/wapi/retrieve_db 413 " + std::to_string(kBodyRefused.size()) + " - "),
              trickling.size());
}

// Two addresses hold all the connections they may, each having sent half a
// ClientHello: curl from a third address downloads at once all the same (the
// oldest of them makes room), the rest are closed at the handshake deadline,
// and a client that speaks plain HTTP to the TLS port fails its handshake.
// The request log names each address and cause once; the library's messages
// on standard error come at most one a second, with the time and address.
TEST_F(ServiceTest, HalfSentTlsHandshakesFromTwoAddressesDoNotShutOutAThird) {
    const auto [certificate, key] = makeCertificate();
    if (certificate.empty() || ::access(kCurl.c_str(), X_OK) != 0) GTEST_SKIP() << "needs openssl and curl";
    startService(false, {"--tls-cert", certificate, "--tls-key", key});
    const std::vector<int> half = fillFromTwoAddresses(kHalfClientHello);
    ASSERT_EQ(half.size(), 2 * kConnectionsPerAddress);
    const auto start = std::chrono::steady_clock::now();
    const std::string saved = results.File("third-address.db");
    EXPECT_EQ(curlDownload("https://127.0.0.1:" + std::to_string(servicePort) + retrievePath(), certificate, saved), 0);
    EXPECT_LT(since(start), 2.0);
    EXPECT_EQ(integrityCheck(saved), "ok");
    EXPECT_EQ(countRows(saved), kRows);
    EXPECT_FALSE(sendRequest(servicePort, "GET / HTTP/1.0\r\n\r\n", "127.0.0.4").received);
    for (const int fd : half) EXPECT_TRUE(readReply(fd).closedByServer);
    const double seconds = since(start);
    EXPECT_LT(seconds, kHandshakeSeconds + 2.0) << "half handshakes outlived their deadline";

    service->Stop(SIGTERM);
    const std::string out = service->Output();
    EXPECT_EQ(count(out, " 127.0.0.1 GET /as/wapi/retrieve_db 200 "), 1u) << out;
    EXPECT_EQ(count(out, "Z 127.0.0.4 tls-handshake-failed\n"), 1u) << out;
    EXPECT_EQ(count(out, " connection-limit\n"), 1u) << out;
    for (const char* from : {"Z 127.0.0.2 request-timeout\n", "Z 127.0.0.3 request-timeout\n"}) {
        EXPECT_EQ(count(out, from), 1u) << from << " in\n" << out;
    }
    const std::string stderrText = errors();
    const size_t messages = count(stderrText, " libmicrohttpd: ");
    EXPECT_GE(messages, 1u) << stderrText;
    EXPECT_LE(messages, static_cast<size_t>(seconds) + 2) << stderrText;
    EXPECT_NE(stderrText.find(" more not shown)\n"), std::string::npos) << stderrText;
    EXPECT_EQ(count(stderrText, "Z 127.0.0."), messages) << "a message without its time and address:\n" << stderrText;
}

// --listen [::1]:PORT with a certificate serves HTTPS on IPv6.
TEST_F(ServiceTest, ServesHttpsOnIpv6) {
    const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    const bool ipv6 = probe >= 0 && ::bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    if (probe >= 0) ::close(probe);
    if (!ipv6) GTEST_SKIP() << "::1 cannot be bound on this machine";
    const auto [certificate, key] = makeCertificate();
    if (certificate.empty() || ::access(kCurl.c_str(), X_OK) != 0) GTEST_SKIP() << "needs openssl and curl";
    listenPrefix = "listening on [::1]:";
    startService(false, {"--listen", "[::1]:0", "--tls-cert", certificate, "--tls-key", key});
    const std::string saved = results.File("ipv6.db");
    EXPECT_EQ(curlDownload("https://[::1]:" + std::to_string(servicePort) + retrievePath(), certificate, saved), 0);
    EXPECT_EQ(integrityCheck(saved), "ok");
    EXPECT_EQ(countRows(saved), kRows);
    service->Stop(SIGTERM);
    EXPECT_EQ(count(service->Output(), " ::1 GET /as/wapi/retrieve_db 200 "), 1u) << service->Output();
}

// A download that stops taking bytes is cut off once it has taken less than
// 64 KiB within the stall time-out; one read slowly but steadily, for longer
// than that, arrives whole.
TEST_F(ServiceTest, AStalledDownloadIsCutOffWhileASteadyOneFinishes) {
    startService(false, {"--stall-timeout", "1"}, kManyRows);
    const auto start = std::chrono::steady_clock::now();
    const int stalled = startDownload("127.0.0.1", 16384);
    const HttpReply steady = readReply(startDownload("127.0.0.2", 65536), 65536, std::chrono::milliseconds(10));
    EXPECT_GT(since(start), 2.0) << "not slow enough to show the stall time-out spares it";
    EXPECT_EQ(checkDownload(steady, "steady.db"), kManyRows);

    const HttpReply cut = readReply(stalled);
    EXPECT_EQ(cut.status, 200);
    EXPECT_TRUE(cut.closedByServer);
    EXPECT_LT(cut.body.size(), steady.body.size());
    service->Stop(SIGTERM);
    EXPECT_EQ(count(service->Output(), " incomplete\n"), 1u) << service->Output();
}

// The library's own refusals, and a path that decoding would cut short at
// an encoded NUL byte, are answered and logged with the client's address.
TEST_F(ServiceTest, RefusalsOfTheLibraryAndEncodedNulBytesAreLogged) {
    const std::string credentials = "?Email=" + UrlEncode(kUser) + "&Password=" + kPassword;
    const std::string longText(40000, 'a');
    const std::vector<std::pair<std::string, int>> requests = {
        {"GET /as/wapi/retrieve_db%00" + credentials + " HTTP/1.0\r\n\r\n", 400},
        {"GET /as/wapi/retrieve_db HTTP/2.5\r\n\r\n", 505},
        {"GET /" + longText + " HTTP/1.0\r\n\r\n", 414},
        {"GET /a HTTP/1.0\r\nX-Long: " + longText + "\r\n\r\n", 431},
        {"GET /a HTTP/1.0\r\nno colon here\r\n\r\n", 400},
    };
    for (const auto& [request, status] : requests) {
        const HttpReply reply = sendRequest(servicePort, request, "127.0.0.2");
        EXPECT_EQ(reply.status, status) << request.substr(0, 40);
    }
    EXPECT_EQ(sendRequest(servicePort, requests[0].first, "127.0.0.2").body, kBadRequest);
    service->Stop(SIGTERM);
    const std::string out = service->Output();
    EXPECT_EQ(count(out, " 127.0.0.2 GET /as/wapi/retrieve_db%00 400 " + std::to_string(kBadRequest.size()) + " - "),
              2u)
        << out;
    for (const char* line :
         {" 127.0.0.2 - - 505 ", " 127.0.0.2 - - 414 ", " 127.0.0.2 - /a 431 ", " 127.0.0.2 - /a 400 "}) {
        EXPECT_EQ(count(out, line), 1u) << line << " in\n" << out;
    }
}

// A database changed under SQLite's feet (here one page overwritten from
// outside) is copied as it is; the copy fails the check before its last
// bytes go out, so the download is cut short of its Content-Length (or, when
// the check failed before the reply began, answered 500).
TEST_F(ServiceTest, ACopyThatFailsTheCheckIsCutShort) {
    constexpr int kCorruptRows = 20000;  // about 400 pages, more than one copy step
    const auto corrupt = [this] {
        const std::string garbage(4096, '\x5a');
        const int fd = ::open(database.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, garbage.data(), garbage.size(), 200 * 4096), 4096);
        ::close(fd);
    };
    startService(false, {}, kCorruptRows);
    corrupt();
    const HttpReply cut = download();
    EXPECT_TRUE(cut.closedByServer);
    if (cut.status == 200) {
        ASSERT_FALSE(cut.header("content-length").empty());
        EXPECT_LT(cut.body.size(), std::stoull(cut.header("content-length")));
    } else {
        EXPECT_EQ(cut.status, 500);
    }
    service->Stop(SIGTERM);
    EXPECT_NE(errors().find("fails SQLite's quick_check"), std::string::npos) << errors();

    startService(false, {"--verify", "none"}, kCorruptRows);
    corrupt();
    const HttpReply whole = download();
    EXPECT_EQ(std::to_string(whole.body.size()), whole.header("content-length"));
}

// SIGTERM refuses new connections at once and lets a running download end.
TEST_F(ServiceTest, SigtermLetsARunningDownloadFinish) {
    startService(false, {}, kManyRows);
    const int running = startDownload();
    service->Signal(SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int late = connectFrom(servicePort, "127.0.0.1");
    EXPECT_LT(late, 0) << "a connection was accepted after SIGTERM";
    if (late >= 0) ::close(late);
    EXPECT_EQ(checkDownload(readReply(running), "finished.db"), kManyRows);
    const int status = service->Wait();
    ASSERT_LT(status, 128) << "ended by a signal";
    EXPECT_EQ(status, 0);
    EXPECT_NE(service->Output().find("stopped (SIGTERM)\n"), std::string::npos);
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

// SIGHUP stops as SIGTERM does; a download still running when the grace
// period is over is cut off, and its snapshot file goes with it.
TEST_F(ServiceTest, SighupCutsADownloadStillRunningAfterTheGrace) {
    startService(false, {"--stop-grace", "1"}, kManyRows);
    const int stalled = startDownload("127.0.0.1", 16384);
    const auto start = std::chrono::steady_clock::now();
    const int status = service->Stop(SIGHUP);
    const double seconds = since(start);
    ::close(stalled);
    ASSERT_LT(status, 128) << "ended by a signal";
    EXPECT_EQ(status, 0);
    EXPECT_GT(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
    EXPECT_NE(service->Output().find("stopped (SIGHUP)\n"), std::string::npos);
    EXPECT_NE(errors().find("cutting off 1 connection(s)"), std::string::npos) << errors();
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());
}

// Snapshot files of processes no longer running are removed at start-up;
// those of a running process, and names the service does not make, stay.
TEST_F(ServiceTest, SnapshotFilesOfStoppedServicesGoAtStartUp) {
    const pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    const std::string stale = "BackupService-snapshot-" + std::to_string(gone) + "-aZ09xy";
    const std::string live = "BackupService-snapshot-" + std::to_string(::getpid()) + "-aZ09xy";
    const std::string other = "BackupService-snapshot-Q1w2E3";
    for (const std::string& name : {stale, live, other}) WriteFile(snapshots.File(name), "page");
    startService(false);
    std::vector<std::string> left = {live, other};
    std::sort(left.begin(), left.end());
    EXPECT_EQ(ListFiles(snapshots.Path()), left);
}

TEST_F(ServiceTest, AccountsFileServesWithoutThePsWarning) {
    EXPECT_NE(errors().find("warning: every local user can see the passwords given with --account"), std::string::npos);
    startService(false, {}, kRows, true);
    EXPECT_EQ(checkDownload(download(), "from-file.db"), kRows);
    EXPECT_EQ(errors(), "");
}

TEST_F(ServiceTest, StopsCleanlyOnSigint) {
    const int status = service->Stop(SIGINT);
    ASSERT_LT(status, 128) << "ended by a signal";
    EXPECT_EQ(status, 0);
    EXPECT_NE(service->Output().find("stopped (SIGINT)"), std::string::npos);
}

TEST_F(ServiceTest, ExplicitLoopbackListenAddress) {
    startService(false, {"--listen", "127.0.0.1:0"});
    const HttpReply reply = sendRequest(servicePort, downloadRequest(servicePort, kUser, kPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
}

TEST(ServiceCommandLine, HelpAndErrors) {
    TempDir dir;
    // Runs the service to its end; returns its exit code and sets `output`
    // to standard output followed by standard error.
    const auto run = [&dir](const std::vector<std::string>& args, std::string& output) {
        const testprocess::Result result = testprocess::RunCapturingErrors(kExe, args, dir.Path(), dir.Path(), false);
        output = result.szStdout + result.szStderr;
        return result.iExitCode;
    };
    std::string output;
    EXPECT_EQ(run({"--help"}, output), 0);
    EXPECT_NE(output.find("Usage:"), std::string::npos);
    EXPECT_EQ(run({"--version"}, output), 0);
    EXPECT_EQ(output, "BackupService " BACKUPSERVICE_VERSION "\n");

    EXPECT_EQ(run({"--database", "x.db"}, output), 2) << output;
    EXPECT_NE(output.find("--account"), std::string::npos) << output;
    EXPECT_EQ(run({"--database", "x.db", "--account", "a:b", "--tls-cert", "c.pem"}, output), 2);
    EXPECT_NE(output.find("--tls-cert FILE and --tls-key FILE go together"), std::string::npos);

    // A FIFO is refused at once, not waited on for a writer.
    ASSERT_EQ(::mkfifo(dir.File("fifo.db").c_str(), 0600), 0);
    EXPECT_EQ(run({"--database", dir.File("fifo.db"), "--account", "a:b"}, output), 1);
    EXPECT_NE(output.find("fifo.db is a FIFO, not a database file"), std::string::npos) << output;

    EXPECT_EQ(run({"--database", dir.File("missing.db"), "--account", "a@b.c:Never-Shown"}, output), 1) << output;
    EXPECT_NE(output.find("cannot open database"), std::string::npos) << output;
    EXPECT_EQ(output.find("Never-Shown"), std::string::npos) << output;

    const std::string accounts = dir.File("accounts");
    WriteFile(accounts, "a@b.c:Never-Shown\n");
    ::chmod(accounts.c_str(), 0644);
    createDatabase(dir.File("good.db"), 1, false);
    EXPECT_EQ(run({"--database", dir.File("good.db"), "--accounts-file", accounts}, output), 1);
    EXPECT_NE(output.find("other users can access it (mode 0644)"), std::string::npos) << output;
    EXPECT_NE(output.find("chmod 600 " + accounts), std::string::npos) << output;
    EXPECT_EQ(output.find("Never-Shown"), std::string::npos) << output;
}
