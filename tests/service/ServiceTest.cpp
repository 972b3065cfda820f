// Runs BackupService as a child process and talks to it over loopback
// sockets the way the backup client does.
#include <gtest/gtest.h>

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
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "Limits.h"
#include "support/TestSupport.h"

using namespace servicetest;
using backupservice::kConnectionsPerAddress;
using backupservice::kRequestSeconds;

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

const std::string kUser = "user@example.com";
const std::string kPassword = "secret";
// Needs every kind of encoding: space, plus, colon, percent, ampersand.
const std::string kOtherUser = "second@example.org";
const std::string kOtherPassword = "Pa55 w+rd:%&=zq";

constexpr int kRows = 300;

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
        "WHERE i < " + std::to_string(kBatch) + ") INSERT INTO items(name, payload) "
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
    void startService(bool wal, std::vector<std::string> extra = {}, int rows = kRows,
                      bool accountsFile = false) {
        service.reset();
        database = work.file("live-" + std::to_string(++started) + ".db");
        createDatabase(database, rows, wal);
        std::vector<std::string> args = {kExe, "--database", database,
                                         "--account", kUser + ":" + kPassword,
                                         "--account", kOtherUser + ":" + kOtherPassword};
        if (accountsFile) {
            const std::string path = work.file("accounts");
            writeFile(path, kUser + ":" + kPassword + "\n" + kOtherUser + ":" + kOtherPassword + "\n");
            ::chmod(path.c_str(), 0600);
            args = {kExe, "--database", database, "--accounts-file", path};
        }
        args.insert(args.end(), extra.begin(), extra.end());
        service = std::make_unique<ServiceProcess>(args, snapshots.path(), work.file("stderr.txt"));
        ASSERT_TRUE(service->waitUntilListening()) << service->output();
    }

    HttpReply get(const std::string& target, const std::string& method = "GET",
                  const std::string& from = "127.0.0.1") {
        return sendRequest(service->port(),
                           method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", from);
    }

    HttpReply download(const std::string& from = "127.0.0.1",
                       const std::function<void()>& atFirstBodyByte = {}) {
        return sendRequest(service->port(), clientRequest(service->port(), kUser, kPassword), from,
                           atFirstBodyByte);
    }

    // Saves a download and checks it is a sound copy; returns its row count.
    long long checkDownload(const HttpReply& reply, const std::string& name) {
        EXPECT_TRUE(reply.received);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("content-type"), "application/octet-stream");
        EXPECT_EQ(reply.header("content-length"), std::to_string(reply.body.size()));
        EXPECT_TRUE(reply.closedByServer);
        const std::string path = results.file(name);
        writeFile(path, reply.body);
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
        std::thread writer(keepWriting, database, std::ref(stop), std::ref(commits),
                           std::ref(finished));
        while (commits == 0 && !finished) std::this_thread::yield();  // writer under way
        ASSERT_GT(commits, 0) << "the writer could not write";

        const uint16_t port = service->port();
        long long previous = kRows;
        for (int i = 0; i < 10; ++i) {
            const HttpReply reply = sendRequest(port, clientRequest(port, kUser, kPassword));
            const long long rows = checkDownload(reply, "during-writes-" + std::to_string(i) + ".db");
            EXPECT_EQ(rows % kBatch, 0) << "a copy caught a transaction half-way";
            EXPECT_GE(rows, previous);
            previous = rows;
        }
        stop = true;
        writer.join();
        EXPECT_GT(previous, kRows) << "the copies should include the writer's rows";
        EXPECT_TRUE(snapshots.entries().empty());
    }

    ScratchDirectory work;
    ScratchDirectory snapshots;
    ScratchDirectory results;
    std::string database;
    int started = 0;
    std::unique_ptr<ServiceProcess> service;
};

}  // namespace

TEST_F(ServiceTest, ClientRequestBytesGetTheDatabase) {
    const HttpReply reply = sendRequest(service->port(), clientRequest(service->port(), kUser, kPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
    EXPECT_EQ(reply.header("connection"), "close");
    EXPECT_TRUE(snapshots.entries().empty());
}

TEST_F(ServiceTest, OriginFormAndEncodedValuesWork) {
    const HttpReply reply =
        get("/as/wapi/retrieve_db?Email=" + encodeQueryValue("Second@Example.ORG") +
            "&Password=" + encodeQueryValue(kOtherPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
}

// Five refusals shut 127.0.0.1 out for a minute: even the right password is
// refused unchecked. Another address is not affected.
TEST_F(ServiceTest, RefusedCredentialsGetTheTaggedReasonThenTooManyAttempts) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {kUser, "wrong"},          {kUser, "secreT"},  {kUser, kOtherPassword},
        {"nobody@example.com", kPassword}, {kUser, ""},
    };
    for (const auto& [email, password] : refused) {
        const HttpReply reply =
            sendRequest(service->port(), clientRequest(service->port(), email, password));
        EXPECT_EQ(reply.status, 200) << email << " / " << password;
        EXPECT_EQ(reply.body, kInvalidCredentials) << email << " / " << password;
        EXPECT_TRUE(reply.closedByServer);
    }
    const HttpReply shutOut = download();
    EXPECT_EQ(shutOut.status, 429);
    EXPECT_EQ(shutOut.body, kTooManyAttempts);

    const HttpReply missing = get("/as/wapi/retrieve_db?Email=user%40example.com", "GET", "127.0.0.2");
    EXPECT_EQ(missing.body, kInvalidCredentials);
    EXPECT_EQ(checkDownload(download("127.0.0.2"), "other-address.db"), kRows);
    EXPECT_TRUE(snapshots.entries().empty());

    service->stop(SIGTERM);
    const std::string out = service->output();
    const std::string refusedLine =
        " 127.0.0.1 GET /as/wapi/retrieve_db 200 " + std::to_string(kInvalidCredentials.size()) +
        " refused\n";
    const std::string throttledLine = " 127.0.0.1 GET /as/wapi/retrieve_db 429 " +
                                      std::to_string(kTooManyAttempts.size()) + " refused\n";
    size_t refusals = 0;
    for (size_t at = 0; (at = out.find(refusedLine, at)) != std::string::npos; at += 1) ++refusals;
    EXPECT_EQ(refusals, refused.size()) << out;
    EXPECT_NE(out.find(throttledLine), std::string::npos) << out;
    EXPECT_NE(out.find(" 127.0.0.2 GET /as/wapi/retrieve_db 200 " +
                       std::to_string(kInvalidCredentials.size()) + " refused\n"),
              std::string::npos)
        << out;
}

TEST_F(ServiceTest, AnythingElseIsNotFound) {
    const std::string credentials = "?Email=user%40example.com&Password=secret";
    for (const std::string& target :
         {std::string("/"), std::string("/as/wapi/other") + credentials,
          std::string("http://127.0.0.1/as/retrieve_db") + credentials}) {
        const HttpReply reply = get(target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body, kNotFound) << target;
        EXPECT_TRUE(reply.closedByServer);
    }
    const HttpReply post = get("/as/wapi/retrieve_db" + credentials, "POST");
    EXPECT_EQ(post.status, 404);
    EXPECT_EQ(post.body, kNotFound);
}

TEST_F(ServiceTest, CopiesTakenDuringWritesAreConsistentRollbackJournal) {
    downloadWhileWriting();
}

TEST_F(ServiceTest, CopiesTakenDuringWritesAreConsistentWal) {
    startService(true);
    downloadWhileWriting();
}

TEST_F(ServiceTest, LogsOneLinePerRequestWithoutPasswords) {
    const uint16_t port = service->port();
    sendRequest(port, clientRequest(port, kUser, kPassword));
    sendRequest(port, clientRequest(port, kOtherUser, kOtherPassword));
    sendRequest(port, clientRequest(port, kUser, "not-" + kOtherPassword));
    get("/nothing/here?Password=" + encodeQueryValue(kOtherPassword));

    const int status = service->stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string out = service->output();
    EXPECT_EQ(out.rfind("listening on 127.0.0.1:" + std::to_string(port) + "\n", 0), 0u) << out;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 6u) << out;
    // A request's line is written as its connection ends, so two quick
    // requests may log in either order; count instead of indexing.
    const auto count = [&lines](const std::string& part) {
        return std::count_if(lines.begin() + 1, lines.end() - 1, [&part](const std::string& l) {
            return l.find(part) != std::string::npos;
        });
    };
    EXPECT_EQ(count(" 127.0.0.1 GET /as/wapi/retrieve_db 200 "), 3) << out;
    EXPECT_EQ(count(" refused"), 1) << out;
    EXPECT_EQ(count(" 127.0.0.1 GET /nothing/here 404 65"), 1) << out;
    EXPECT_EQ(lines[5], "stopped (SIGTERM)");
    for (const std::string& secret : {kPassword, kOtherPassword, encodeQueryValue(kOtherPassword),
                                      std::string("Password")}) {
        EXPECT_EQ(out.find(secret), std::string::npos) << "found '" << secret << "' in\n" << out;
    }
}

TEST_F(ServiceTest, LockedDatabaseGetsTheBusyReasonWellWithinSevenSeconds) {
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE; DELETE FROM items;", nullptr, nullptr, nullptr),
              SQLITE_OK);
    const auto start = std::chrono::steady_clock::now();
    const HttpReply busy = download();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(busy.status, 503);
    EXPECT_EQ(busy.body, kDatabaseBusy);
    EXPECT_GT(seconds, 4.0) << "gave up without waiting for the writer";
    EXPECT_LT(seconds, 6.0) << "the client gives up after 7 s of silence";
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    EXPECT_EQ(checkDownload(download(), "after-lock.db"), kRows);
    EXPECT_TRUE(snapshots.entries().empty());
}

// A database whose copy takes a good part of a second here: the reply must
// start at once, while the copy still runs (its file still has a name).
TEST_F(ServiceTest, FirstBytesComeWhileTheCopyStillRuns) {
    constexpr int kLargeRows = 450000;  // about 40 MB
    startService(false, {}, kLargeRows);
    bool copyRunning = false;
    const HttpReply reply =
        download("127.0.0.1", [this, &copyRunning] { copyRunning = !snapshots.entries().empty(); });
    EXPECT_GE(reply.secondsToFirstBodyByte, 0.0);
    EXPECT_LT(reply.secondsToFirstBodyByte, 1.0);
    EXPECT_TRUE(copyRunning) << "the first bytes waited for the whole copy";
    EXPECT_EQ(checkDownload(reply, "large.db"), kLargeRows);
    EXPECT_TRUE(snapshots.entries().empty());
}

// A download still under way keeps its snapshot, and later requests may
// share it only while nothing has been committed since it began: a commit
// made meanwhile must be in the next download.
TEST_F(ServiceTest, ACommitMadeDuringAnotherDownloadIsInTheNextOne) {
    constexpr int kManyRows = 200000;  // about 18 MB, more than the sockets buffer
    startService(false, {}, kManyRows);
    const int paused = connectFrom(service->port(), "127.0.0.1");
    ASSERT_GE(paused, 0);
    const std::string request = clientRequest(service->port(), kUser, kPassword);
    ::send(paused, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    ASSERT_GT(::recv(paused, buffer, sizeof buffer, 0), 0) << "the first download did not start";
    EXPECT_EQ(checkDownload(download(), "shared.db"), kManyRows);

    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &writer), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(writer, "INSERT INTO items(name) VALUES('late');", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(writer);
    EXPECT_EQ(checkDownload(download(), "after-commit.db"), kManyRows + 1);
    ::close(paused);
}

// One address holds all the connections it may, each trickling in a header
// line every second: one more from it is closed at once, another address is
// served, and the trickling ones are closed when the header deadline passes.
TEST_F(ServiceTest, SlowConnectionsFromOneAddressDoNotLockOutAnother) {
    const uint16_t port = service->port();
    std::vector<int> slow;
    for (unsigned int i = 0; i < kConnectionsPerAddress; ++i) {
        const int fd = connectFrom(port, "127.0.0.1");
        ASSERT_GE(fd, 0);
        const std::string requestLine = "GET /as/wapi/retrieve_db HTTP/1.0\r\n";
        ::send(fd, requestLine.data(), requestLine.size(), MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    const auto opened = std::chrono::steady_clock::now();
    EXPECT_FALSE(download().received) << "one address got more connections than it may";
    EXPECT_EQ(checkDownload(download("127.0.0.2"), "other-address.db"), kRows);

    const std::string kSlowLine = "X-Slow: 1\r\n";
    size_t closed = 0;
    double lastClosed = 0;
    while (closed < slow.size()) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
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
}

TEST_F(ServiceTest, AccountsFileServesWithoutThePsWarning) {
    const auto stderrText = [this] {
        std::ifstream in(work.file("stderr.txt"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_NE(stderrText().find("warning: every local user can see the passwords given with --account"),
              std::string::npos);
    startService(false, {}, kRows, true);
    EXPECT_EQ(checkDownload(download(), "from-file.db"), kRows);
    EXPECT_EQ(stderrText(), "");
}

TEST_F(ServiceTest, StopsCleanlyOnSigint) {
    const int status = service->stop(SIGINT);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(service->output().find("stopped (SIGINT)"), std::string::npos);
}

TEST_F(ServiceTest, ExplicitLoopbackListenAddress) {
    startService(false, {"--listen", "127.0.0.1:0"});
    const HttpReply reply = sendRequest(service->port(), clientRequest(service->port(), kUser, kPassword));
    EXPECT_EQ(checkDownload(reply, "download.db"), kRows);
}

TEST(ServiceCommandLine, HelpAndErrors) {
    ScratchDirectory dir;
    // Runs the service to its end; returns its exit code and sets `output`
    // to standard output followed by standard error.
    const auto run = [&dir](const std::vector<std::string>& args, std::string& output) {
        ServiceProcess process(args, dir.path(), dir.file("stderr.txt"));
        const int status = process.wait();
        std::ifstream err(dir.file("stderr.txt"));
        output = process.output() + std::string(std::istreambuf_iterator<char>(err), {});
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string output;
    EXPECT_EQ(run({kExe, "--help"}, output), 0);
    EXPECT_NE(output.find("Usage:"), std::string::npos);

    EXPECT_EQ(run({kExe, "--database", "x.db"}, output), 2) << output;
    EXPECT_NE(output.find("--account"), std::string::npos) << output;

    EXPECT_EQ(run({kExe, "--database", dir.file("missing.db"), "--account", "a@b.c:Never-Shown"},
                  output),
              1)
        << output;
    EXPECT_NE(output.find("cannot open database"), std::string::npos) << output;
    EXPECT_EQ(output.find("Never-Shown"), std::string::npos) << output;

    const std::string accounts = dir.file("accounts");
    writeFile(accounts, "a@b.c:Never-Shown\n");
    ::chmod(accounts.c_str(), 0644);
    createDatabase(dir.file("good.db"), 1, false);
    EXPECT_EQ(run({kExe, "--database", dir.file("good.db"), "--accounts-file", accounts}, output), 1);
    EXPECT_NE(output.find("other users can access it (mode 0644)"), std::string::npos) << output;
    EXPECT_NE(output.find("chmod 600 " + accounts), std::string::npos) << output;
    EXPECT_EQ(output.find("Never-Shown"), std::string::npos) << output;
}
