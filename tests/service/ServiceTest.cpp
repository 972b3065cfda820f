// Runs BackupService as a child process and talks to it over loopback
// sockets the way the backup client does.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "support/TestSupport.h"

using namespace servicetest;

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
        // A short breather between transactions, as a real application has;
        // without it a reader of a rollback-journal database rarely gets in.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sqlite3_close(db);
    finished = true;
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override { startService(false); }

    void startService(bool wal, std::vector<std::string> extra = {}) {
        service.reset();
        database = work.file("live-" + std::to_string(++started) + ".db");
        createDatabase(database, kRows, wal);
        std::vector<std::string> args = {kExe, "--database", database,
                                         "--account", kUser + ":" + kPassword,
                                         "--account", kOtherUser + ":" + kOtherPassword};
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

    // Downloads copies while another connection keeps inserting rows; every
    // copy must be sound and hold only whole transactions.
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
        for (int i = 0; i < 6; ++i) {
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
    EXPECT_EQ(count(" 127.0.0.1 GET /nothing/here 404 65"), 1) << out;
    EXPECT_EQ(lines[5], "stopped (SIGTERM)");
    for (const std::string& secret : {kPassword, kOtherPassword, encodeQueryValue(kOtherPassword),
                                      std::string("Password")}) {
        EXPECT_EQ(out.find(secret), std::string::npos) << "found '" << secret << "' in\n" << out;
    }
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
}
