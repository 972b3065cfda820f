#include "Database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include "FileDescriptor.h"
#include "PageOneCapture.h"

namespace backupservice {

namespace {

constexpr const char* kSourceSettings = "PRAGMA cache_size=-1024;";
// Reads page 1 and the schema, which starts the read transaction.
constexpr const char* kBeginRead = "BEGIN; SELECT count(*) FROM sqlite_schema;";

const char* fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Fails when `path` names something other than a regular file. The path is
// opened without blocking, so a FIFO cannot hold the check up waiting for a
// writer. A path that cannot be opened passes: SQLite then says why.
Status checkRegularFileOrMissing(const std::string& path) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || S_ISREG(info.st_mode)) return Status();
    return Status::error(path + " is " + fileTypeName(info.st_mode) + ", not a database file");
}

// At start-up a writer gets a few seconds to finish before the check fails.
int waitAtStartUp(void*, int count) {
    if (count >= 500) return 0;
    sqlite3_sleep(10);
    return 1;
}

}  // namespace

void DatabaseCloser::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

bool isBusy(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

Status openDatabase(const std::string& path, int flags, const char* vfs, const std::string& role, Database* db) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, vfs);
    Database opened(raw);
    if (rc != SQLITE_OK) {
        return Status::error("cannot open " + role + " " + path + ": " +
                             (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
    }
    sqlite3_extended_result_codes(opened.get(), 1);
    *db = std::move(opened);
    return Status();
}

Status execute(sqlite3* db, const char* sql, int* resultCode) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (resultCode) *resultCode = rc;
    std::string text;
    if (rc != SQLITE_OK) text = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    if (rc == SQLITE_OK) return Status();
    return isBusy(rc) ? Status::busy(text) : Status::error(text);
}

Status queryText(sqlite3* db, const char* sql, std::string* text) {
    sqlite3_stmt* statement = nullptr;
    Status status;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* column = sqlite3_column_text(statement, 0);
        *text = column ? reinterpret_cast<const char*>(column) : "";
    } else {
        status = Status::error(sqlite3_errmsg(db));
    }
    sqlite3_finalize(statement);
    return status;
}

// A read-only connection is enough while any writer has the database open.
// A WAL database that nobody has open has no -wal/-shm files, and a
// read-only connection cannot create them; only then the database is
// reopened read-write with query_only set, which lets SQLite create those
// files but still refuses every change.
Status beginReading(const std::string& path, int (*onBusy)(void*, int), void* context, Database* db) {
    const Status regular = checkRegularFileOrMissing(path);
    if (!regular.ok()) return regular.withContext("cannot open database " + path);
    Status begun;
    for (const int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
        Database opened;
        const Status open = openDatabase(path, flags, pageOneCaptureVfs(), "database", &opened);
        if (!open.ok()) return open;
        sqlite3_busy_handler(opened.get(), onBusy, context);
        if (flags == SQLITE_OPEN_READWRITE) {
            const Status queryOnly = execute(opened.get(), "PRAGMA query_only=ON;");
            if (!queryOnly.ok()) return queryOnly;
        }
        // A cache of the default size only makes the copy slower.
        static_cast<void>(execute(opened.get(), kSourceSettings));
        int rc = SQLITE_OK;
        begun = execute(opened.get(), kBeginRead, &rc);
        if (begun.ok()) {
            *db = std::move(opened);
            return begun;
        }
        if ((rc & 0xff) != SQLITE_CANTOPEN) break;
    }
    return begun.withContext("cannot read database " + path);
}

Status checkDatabaseReadable(const std::string& databasePath) {
    Database db;
    return beginReading(databasePath, &waitAtStartUp, nullptr, &db);
}

}  // namespace backupservice
