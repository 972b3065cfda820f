// The service's SQLite connections: opening one, running SQL on it, and the
// read transaction that a copy, the pool's watch and the start-up check
// begin the same way.
#pragma once

#include <memory>
#include <string>

#include "Status.h"

struct sqlite3;

namespace backupservice {

struct DatabaseCloser {
    void operator()(sqlite3* db) const;
};
// An open connection, closed when it goes.
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

// Whether a SQLite result code says the database was locked by another.
bool isBusy(int resultCode);

// Opens `path` with the sqlite3_open_v2() flags and VFS (null for the
// default one), with extended result codes on, into *db. The failure's
// message names the file as `role` ("database", "snapshot file").
Status openDatabase(const std::string& path, int flags, const char* vfs, const std::string& role, Database* db);

// Runs SQL. A failure is busy when the database was locked; *resultCode,
// when given, receives SQLite's result code either way.
Status execute(sqlite3* db, const char* sql, int* resultCode = nullptr);

// Runs a query and sets *text to the first column of its first row ("" for
// NULL). Fails with SQLite's message when the query fails or has no row.
Status queryText(sqlite3* db, const char* sql, std::string* text);

// Opens the database for reading into *db and begins the read transaction a
// whole copy runs in; waits for writers through `onBusy` (called with
// `context`; null for no waiting). The failure is busy when a writer held
// the database locked to the end. A path that names something other than a
// regular file (a FIFO, say) is refused without waiting for a writer.
Status beginReading(const std::string& path, int (*onBusy)(void*, int), void* context, Database* db);

// Opens the database read-only and reads its schema, giving a writer a few
// seconds to finish. Used at start-up to refuse a wrong path early.
Status checkDatabaseReadable(const std::string& databasePath);

}  // namespace backupservice
