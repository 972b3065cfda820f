#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>

#include "Snapshot.h"
#include "support/TestSupport.h"

using namespace backupservice;
using namespace servicetest;

namespace {

const auto kGenerous = std::chrono::seconds(30);

// Starts the copy and reads it to the end the way a download does.
std::string readAll(Snapshot& snapshot) {
    snapshot.start();
    EXPECT_EQ(snapshot.waitUntilStreamable(Clock::now() + kGenerous), Snapshot::Progress::Streamable)
        << snapshot.error();
    std::string data;
    char buffer[8192];
    long n;
    while ((n = snapshot.read(data.size(), buffer, sizeof buffer)) > 0) {
        data.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0) << snapshot.error();
    return data;
}

// Starts a copy expected to fail; returns its error.
std::string failure(const std::string& database, const std::string& directory) {
    Snapshot snapshot(database, directory, true);
    snapshot.start();
    EXPECT_EQ(snapshot.waitUntilStreamable(Clock::now() + kGenerous), Snapshot::Progress::Failed);
    return snapshot.error();
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
    ScratchDirectory source;
    ScratchDirectory snapshots;
    ScratchDirectory results;
};

}  // namespace

TEST_P(SnapshotTest, CopyIsCompleteSelfContainedAndLeavesNoFile) {
    const bool wal = GetParam();
    const std::string database = source.file("live.db");
    createDatabase(database, 250, wal);

    Snapshot snapshot(database, snapshots.path(), true);
    const std::string data = readAll(snapshot);
    EXPECT_TRUE(snapshots.entries().empty()) << "the snapshot's name must be gone once read";
    ASSERT_EQ(data.size(), snapshot.size());
    ASSERT_GT(data.size(), 100u);
    EXPECT_EQ(data.substr(0, 16), std::string("SQLite format 3\0", 16));
    // Header bytes 18 and 19 are 1 for rollback-journal files, 2 for WAL.
    EXPECT_EQ(data[18], 1);
    EXPECT_EQ(data[19], 1);

    const std::string copy = results.file("copy.db");
    writeFile(copy, data);
    EXPECT_EQ(integrityCheck(copy), "ok");
    EXPECT_EQ(countRows(copy), 250);
    // Opening the copy read-only above made no companion files appear.
    EXPECT_EQ(results.entries(), std::vector<std::string>{"copy.db"});
    // The live database keeps its own journal mode.
    EXPECT_EQ(journalMode(database), wal ? "wal" : "delete");
}

INSTANTIATE_TEST_SUITE_P(JournalModes, SnapshotTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Wal" : "RollbackJournal";
                         });

TEST(SnapshotErrors, MissingOrBrokenDatabaseFailsAndLeavesNothing) {
    ScratchDirectory dir;
    ScratchDirectory snapshots;
    EXPECT_NE(failure(dir.file("missing.db"), snapshots.path()), "");
    EXPECT_FALSE(access(dir.file("missing.db").c_str(), F_OK) == 0) << "must not create it";

    writeFile(dir.file("text.db"), std::string(4096, 'x'));
    EXPECT_NE(failure(dir.file("text.db"), snapshots.path()), "");
    EXPECT_THROW(checkDatabaseReadable(dir.file("text.db")), SnapshotError);
    EXPECT_TRUE(snapshots.entries().empty());

    createDatabase(dir.file("good.db"), 1, false);
    EXPECT_NO_THROW(checkDatabaseReadable(dir.file("good.db")));
    EXPECT_NE(failure(dir.file("good.db"), dir.file("no-such-dir")).find("cannot create"),
              std::string::npos);
}
