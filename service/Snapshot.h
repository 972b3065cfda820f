// Consistent copies of a live SQLite database, made with SQLite's online
// backup API and streamed while they are being made, so a download starts at
// once whatever the size of the database and never sees a file that is
// half-way through a write. Which requests share a copy is SnapshotPool's
// choice (SnapshotPool.h).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FileDescriptor.h"
#include "Status.h"

struct sqlite3;

namespace backupservice {

using Clock = std::chrono::steady_clock;

// Where a copy stands among the database's versions: SQLite's data_version
// as read on one watch connection, which counts the commits it has seen.
struct DataVersion {
    bool known = false;  // false when it could not be read
    long long value = 0;
    unsigned long generation = 0;  // of the watch it was read on

    // Whether both were read, on the same watch, with no commit in between.
    bool sameAs(const DataVersion& other) const {
        return known && other.known && generation == other.generation && value == other.value;
    }
};

// One copy of the database as of the moment its read transaction began,
// made by its own thread into a temporary file and read by any number of
// downloads while the file grows. The read transaction is held for the whole
// copy, which runs at disk speed whatever the downloads do, and ends with it.
//
// A download begins with page 1, which the copy writes last; the page the
// read transaction saw is kept from the start (see PageOneCapture.h) and sent
// made self-contained (makeSelfContained). The finished copy's own page 1 is
// compared with it; a mismatch fails the download rather than send a wrong
// file.
//
// With `verify`, the finished copy must pass SQLite's quick_check before its
// last pages go out (they are held back until the copy is complete); a copy
// that fails it, such as one of a file changed under SQLite's feet, fails
// its downloads short of their Content-Length.
//
// The temporary file, named "BackupService-snapshot-PID-XXXXXX" after this
// process, loses its name as soon as the copy ends; its data goes when the
// last reader lets go of the Snapshot.
class Snapshot {
public:
    // `version` is the database's data version read just before the copy
    // starts, so that a commit in between makes the copy look older than
    // it is, never newer.
    Snapshot(std::string databasePath, std::string directory, bool verify, DataVersion version);
    // Stops a running copy, waits for its thread and closes the file.
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Starts the copy on its own thread. Called once.
    void start();
    // Stops the copy; readers waiting for it see it fail.
    void cancel();

    enum class Progress {
        Opening,     // waiting for the database (a writer may hold it locked)
        Streamable,  // size() and the first bytes are ready
        Failed,
    };
    // Waits until the download can begin, the copy fails, or the deadline.
    Progress waitUntilStreamable(Clock::time_point deadline);

    // The size of the copy in bytes: page count times page size. Valid once
    // streamable.
    uint64_t size() const;
    // The number of pages in the copy. Valid once streamable.
    uint64_t pageCount() const;
    // Copies up to `max` bytes at `offset` into `buffer`, waiting until the
    // copy has written them; *count is the number copied, 0 at or past the
    // end. Fails with the copy's own failure, or when the file cannot be read.
    Status read(uint64_t offset, char* buffer, size_t max, size_t* count);
    // True once the copy has had to wait for a lock on the database.
    bool waitedForLock() const { return waitedForLock_; }
    // Success while the copy has not failed, else why it failed; busy when
    // the database stayed locked.
    Status status() const;
    const DataVersion& version() const { return version_; }

private:
    class RemoveOnExit;
    // The thread's body.
    void run();
    Status makeCopy();
    Status copy(sqlite3* source, RemoveOnExit& targetName, std::vector<unsigned char> pageOne);
    Status verify(sqlite3* target);
    Status finish(std::vector<unsigned char> pageOne, uint64_t pageSize);
    void publish(uint64_t ready, bool complete = false);
    void fail(const Status& failure);
    bool cancelled() const { return cancelled_; }
    static int onBusy(void* self, int count);

    const std::string databasePath_;
    const std::string directory_;
    const bool verify_;
    const DataVersion version_;
    std::thread thread_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> waitedForLock_{false};
    FileDescriptor file_;  // the copy, opened before SQLite writes it

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Status failure_;  // success until the copy fails
    bool complete_ = false;
    uint64_t size_ = 0;
    uint64_t pageCount_ = 0;
    uint64_t ready_ = 0;                  // bytes final from offset 0
    std::vector<unsigned char> pageOne_;  // what is sent for page 1
};

// $TMPDIR when set and not empty, otherwise /tmp.
std::string defaultSnapshotDirectory();

// Removes the snapshot files in `directory` that processes no longer running
// left behind (a service killed with SIGKILL, say), if this user owns them.
// Returns how many were removed.
size_t removeStaleSnapshotFiles(const std::string& directory);

}  // namespace backupservice
