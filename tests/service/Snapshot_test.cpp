#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>

#include "Database.h"
#include "Snapshot.h"
#include "support/ServiceSupport.h"
#include "support/TestFiles.h"

using namespace backupservice;
using namespace servicetest;
using testsupport::ListFiles;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const auto kGenerous = std::chrono::seconds(30);

// Starts the copy and reads it to the end the way a download does.
std::string readAll(Snapshot& snapshot) {
    snapshot.start();
    EXPECT_EQ(snapshot.waitUntilStreamable(Clock::now() + kGenerous), Snapshot::Progress::Streamable)
        << snapshot.status().message();
    std::string data;
    char buffer[8192];
    size_t n = 0;
    Status read;
    while ((read = snapshot.read(data.size(), buffer, sizeof buffer, &n)).ok() && n > 0) data.append(buffer, n);
    EXPECT_TRUE(read.ok()) << read.message();
    EXPECT_EQ(n, 0u);
    return data;
}

// Starts a copy expected to fail; returns its error.
std::string failure(const std::string& database, const std::string& directory) {
    Snapshot snapshot(database, directory, true, DataVersion());
    snapshot.start();
    EXPECT_EQ(snapshot.waitUntilStreamable(Clock::now() + kGenerous), Snapshot::Progress::Failed);
    return snapshot.status().message();
}

std::string journalMode(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    std::string mode;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        mode = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return mode;
}

class SnapshotTest : public ::testing::TestWithParam<bool> {
protected:
    TempDir source;
    TempDir snapshots;
    TempDir results;
};

}  // namespace

TEST_P(SnapshotTest, CopyIsCompleteSelfContainedAndLeavesNoFile) {
    const bool wal = GetParam();
    const std::string database = source.File("live.db");
    createDatabase(database, 250, wal);

    Snapshot snapshot(database, snapshots.Path(), true, DataVersion());
    const std::string data = readAll(snapshot);
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty()) << "the snapshot's name must be gone once read";
    ASSERT_EQ(data.size(), snapshot.size());
    ASSERT_GT(data.size(), 100u);
    EXPECT_EQ(data.substr(0, 16), std::string("SQLite format 3\0", 16));
    // Header bytes 18 and 19 are 1 for rollback-journal files, 2 for WAL.
    EXPECT_EQ(data[18], 1);
    EXPECT_EQ(data[19], 1);

    const std::string copy = results.File("copy.db");
    WriteFile(copy, data);
    EXPECT_EQ(integrityCheck(copy), "ok");
    EXPECT_EQ(countRows(copy), 250);
    // Opening the copy read-only above made no companion files appear.
    EXPECT_EQ(ListFiles(results.Path()), std::vector<std::string>{"copy.db"});
    // The live database keeps its own journal mode.
    EXPECT_EQ(journalMode(database), wal ? "wal" : "delete");
}

INSTANTIATE_TEST_SUITE_P(JournalModes, SnapshotTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Wal" : "RollbackJournal";
                         });

TEST(SnapshotErrors, MissingOrBrokenDatabaseFailsAndLeavesNothing) {
    TempDir dir;
    TempDir snapshots;
    EXPECT_NE(failure(dir.File("missing.db"), snapshots.Path()), "");
    EXPECT_FALSE(access(dir.File("missing.db").c_str(), F_OK) == 0) << "must not create it";

    WriteFile(dir.File("text.db"), std::string(4096, 'x'));
    EXPECT_NE(failure(dir.File("text.db"), snapshots.Path()), "");
    EXPECT_FALSE(checkDatabaseReadable(dir.File("text.db")).ok());
    EXPECT_TRUE(ListFiles(snapshots.Path()).empty());

    createDatabase(dir.File("good.db"), 1, false);
    const Status good = checkDatabaseReadable(dir.File("good.db"));
    EXPECT_TRUE(good.ok()) << good.message();
    EXPECT_NE(failure(dir.File("good.db"), dir.File("no-such-dir")).find("cannot create"), std::string::npos);
}
