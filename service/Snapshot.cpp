#include "Snapshot.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace backupservice {

namespace {

// How long one snapshot waits in total for writers that hold the database
// locked (rollback-journal mode) before giving up.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kBusyRetries = 100;
constexpr int kBusyRetryPauseMs = 100;

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct BackupFinisher {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

Database openDatabase(const std::string& path, int flags, const std::string& role) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Database db(raw);
    if (rc != SQLITE_OK) {
        const std::string message = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
        throw SnapshotError("cannot open " + role + " " + path + ": " + message);
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    return db;
}

void execute(sqlite3* db, const char* sql, const std::string& what) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw SnapshotError(what + ": " + message);
    }
}

// Opens the database for reading. A read-only connection is enough while any
// writer has the database open. A WAL database that nobody has open has no
// -wal/-shm files, and a read-only connection cannot create them; only then
// the database is reopened read-write with query_only set, which lets SQLite
// create those files but still refuses every change.
Database openSource(const std::string& path) {
    Database db = openDatabase(path, SQLITE_OPEN_READONLY, "database");
    const int rc = sqlite3_exec(db.get(), "PRAGMA schema_version;", nullptr, nullptr, nullptr);
    if ((rc & 0xff) != SQLITE_CANTOPEN) return db;  // other errors surface on use
    db = openDatabase(path, SQLITE_OPEN_READWRITE, "database");
    execute(db.get(), "PRAGMA query_only=ON;", "cannot open database " + path);
    return db;
}

bool isBusy(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Copies every page of source into the (empty) file at targetPath in one
// backup step, i.e. inside a single read transaction on the source: the copy
// is the database as of one moment, never a mix of before and after a write.
void copyDatabase(const std::string& sourcePath, const std::string& targetPath) {
    Database source = openSource(sourcePath);
    Database target = openDatabase(targetPath, SQLITE_OPEN_READWRITE, "snapshot file");

    // The snapshot is a throw-away file: no journal, no syncing.
    execute(target.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;",
            "cannot prepare snapshot file");

    std::unique_ptr<sqlite3_backup, BackupFinisher> backup(
        sqlite3_backup_init(target.get(), "main", source.get(), "main"));
    if (!backup) {
        throw SnapshotError("cannot start backup of " + sourcePath + ": " +
                            sqlite3_errmsg(target.get()));
    }
    int rc = SQLITE_OK;
    for (int attempt = 0;; ++attempt) {
        rc = sqlite3_backup_step(backup.get(), -1);
        if (rc == SQLITE_DONE) break;
        if (!isBusy(rc) || attempt >= kBusyRetries) {
            throw SnapshotError("backup of " + sourcePath + " failed: " + sqlite3_errstr(rc));
        }
        // The busy timeout already waited; writers are holding on longer.
        sqlite3_sleep(kBusyRetryPauseMs);
    }
    rc = sqlite3_backup_finish(backup.release());
    if (rc != SQLITE_OK) {
        throw SnapshotError("backup of " + sourcePath + " failed: " +
                            sqlite3_errmsg(target.get()));
    }

    // Pages copied from a WAL database keep its header's WAL marker. Switching
    // the copy to rollback-journal mode clears it, so the downloaded file is
    // complete on its own and opens without -wal/-shm companions.
    execute(target.get(), "PRAGMA journal_mode=DELETE;", "cannot finish snapshot file");
}

// Removes a file name when the scope ends.
class RemoveOnExit {
public:
    explicit RemoveOnExit(std::string path) : path_(std::move(path)) {}
    ~RemoveOnExit() { ::unlink(path_.c_str()); }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

private:
    std::string path_;
};

}  // namespace

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int FileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

Snapshot takeSnapshot(const std::string& databasePath, const std::string& directory) {
    std::string pattern = directory + "/BackupService-snapshot-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int created = ::mkostemp(name.data(), O_CLOEXEC);
    if (created < 0) {
        throw SnapshotError(errnoText("cannot create a snapshot file in " + directory, errno));
    }
    const std::string path(name.data());
    RemoveOnExit removeName(path);
    // SQLite's POSIX locks are dropped when any descriptor of the file is
    // closed, so ours is closed before SQLite opens the file and a new one is
    // opened only after SQLite is done with it.
    ::close(created);

    copyDatabase(databasePath, path);

    Snapshot snapshot;
    snapshot.file = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (snapshot.file.get() < 0) {
        throw SnapshotError(errnoText("cannot reopen snapshot file " + path, errno));
    }
    struct stat info {};
    if (::fstat(snapshot.file.get(), &info) != 0) {
        throw SnapshotError(errnoText("cannot read size of snapshot file " + path, errno));
    }
    snapshot.size = static_cast<uint64_t>(info.st_size);
    return snapshot;  // removeName unlinks the file name now
}

void checkDatabaseReadable(const std::string& databasePath) {
    Database db = openSource(databasePath);
    execute(db.get(), "SELECT count(*) FROM sqlite_schema;", "cannot read database " + databasePath);
}

std::string defaultSnapshotDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp && *tmp) ? std::string(tmp) : std::string("/tmp");
}

}  // namespace backupservice
