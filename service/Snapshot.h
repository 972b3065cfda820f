// Consistent copies of a live SQLite database, made with SQLite's online
// backup API and streamed while they are being made, so a download starts at
// once whatever the size of the database and never sees a file that is
// half-way through a write.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace backupservice {

class SnapshotError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Owns one open file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release();

private:
    int fd_ = -1;
};

using Clock = std::chrono::steady_clock;

// One copy of the database as of the moment its read transaction began,
// made by its own thread into a temporary file and read by any number of
// downloads while the file grows. The read transaction is held for the whole
// copy, which runs at disk speed whatever the downloads do, and ends with it.
//
// A download begins with page 1, which the copy writes last; the page the
// read transaction saw is kept from the start (see PageOneCapture.h) and sent
// with its header made self-contained: rollback-journal mode (bytes 18 and
// 19) and a valid in-header size (the change counter copied to the
// version-valid-for number). The finished copy's own page 1 is compared with
// it; a mismatch fails the download rather than send a wrong file.
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
    Snapshot(std::string databasePath, std::string directory, bool verify);
    // Stops a running copy, waits for its thread and closes the file.
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Starts the copy on its own thread. Called once.
    void start();
    // Stops the copy; readers waiting for it, or for a copy not started yet,
    // see it fail.
    void cancel();
    bool started() const { return started_; }

    enum class Progress {
        Queued,      // start() not called yet
        Opening,     // waiting for the database (a writer may hold it locked)
        Streamable,  // size() and the first bytes are ready
        Failed,
    };
    // Waits until the download can begin, the copy fails, or the deadline.
    Progress waitUntilStreamable(Clock::time_point deadline);

    // The size of the copy in bytes: page count times page size. Valid once
    // streamable.
    uint64_t size() const;
    // Copies up to `max` bytes at `offset` into `buffer`, waiting until the
    // copy has written them. Returns the number copied, 0 at or past the end,
    // or -1 when the copy failed.
    long read(uint64_t offset, char* buffer, size_t max);
    // True when the copy failed because the database stayed locked.
    bool failedBusy() const;
    // True once the copy has had to wait for a lock on the database.
    bool waitedForLock() const { return waitedForLock_; }
    // Why the copy failed; empty while it has not.
    std::string error() const;

private:
    class RemoveOnExit;
    void run();
    bool copy(sqlite3* source, RemoveOnExit& targetName, std::vector<unsigned char> pageOne);
    bool verified(sqlite3* target);
    bool finish(std::vector<unsigned char> pageOne, uint64_t pageSize);
    void publish(uint64_t ready, bool complete = false);
    void fail(const std::string& message, bool busy = false);
    bool cancelled() const { return cancelled_; }
    static int onBusy(void* self, int count);

    const std::string databasePath_;
    const std::string directory_;
    const bool verify_;
    std::thread thread_;
    std::atomic<bool> started_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> waitedForLock_{false};
    // The database's data version read before the read transaction began,
    // and the watch connection it was read on; see SnapshotPool, which sets
    // them, under its lock, before start().
    bool versionKnown_ = false;
    long long version_ = 0;
    unsigned long watchGeneration_ = 0;
    friend class SnapshotPool;
    FileDescriptor file_;  // the copy, opened before SQLite writes it

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool failed_ = false;
    bool complete_ = false;
    bool busy_ = false;
    std::string error_;
    uint64_t size_ = 0;
    uint64_t ready_ = 0;                 // bytes final from offset 0
    std::vector<unsigned char> pageOne_;  // what is sent for page 1
};

// Hands out snapshots that hold the database as it was when the request
// asking for one arrived, or later, with at most `maxFiles` snapshot files at
// a time. A request joins a running snapshot when nothing has been committed
// to the database since just before that snapshot's read transaction began
// (SQLite's data_version, read on a connection of the pool's own, the watch);
// otherwise it gets a new snapshot, or, while all files are taken, shares the
// next one, which starts as soon as another is released by its last reader.
//
// Each request also checks that the path still names the file the watch has
// open (device and inode): a database replaced by renaming another file over
// it gets a new watch, and no snapshot taken before is shared again.
// The pool must outlive every snapshot it handed out.
class SnapshotPool {
public:
    SnapshotPool(std::string databasePath, std::string directory, size_t maxFiles, bool verify);
    ~SnapshotPool();
    SnapshotPool(const SnapshotPool&) = delete;
    SnapshotPool& operator=(const SnapshotPool&) = delete;

    // Null once cancelAll() has been called.
    std::shared_ptr<Snapshot> join();
    // Stops every copy under way and refuses new ones (the service is
    // stopping).
    void cancelAll();

private:
    // Where a snapshot stands among the database's versions; `known` is
    // false when the version could not be read, and such a snapshot is
    // never shared.
    struct Version {
        bool known = false;
        long long value = 0;
        unsigned long generation = 0;  // of the watch it was read on
    };
    std::shared_ptr<Snapshot> create();
    // Adds a snapshot about to start, with the version read before; called
    // with mutex_ held.
    void record(const std::shared_ptr<Snapshot>& snapshot, const Version& version);
    void released(Snapshot* snapshot);
    // Reads the database's data version on the watch, first reopening the
    // watch when the path names another file than the one it has open.
    Version dataVersion();
    // Called with watchMutex_ held.
    bool openWatch();
    void closeWatch();

    const std::string databasePath_;
    const std::string directory_;
    const size_t maxFiles_;
    const bool verify_;
    std::mutex mutex_;
    bool stopped_ = false;
    size_t live_ = 0;
    std::vector<std::weak_ptr<Snapshot>> started_;
    std::weak_ptr<Snapshot> queued_;
    std::mutex watchMutex_;
    sqlite3* watch_ = nullptr;  // opened on first use
    uint64_t watchDevice_ = 0;  // the file the watch has open
    uint64_t watchInode_ = 0;
    unsigned long watchGeneration_ = 0;  // counts the watches opened
};

// Makes a copied page 1 describe a file that opens on its own: rollback-
// journal mode, `pageCount` pages, and a change counter equal to its
// version-valid-for number so that the size is believed.
void makeSelfContained(std::vector<unsigned char>& page, uint32_t pageCount);

// Opens the database read-only and reads its schema; throws SnapshotError
// when that fails, or when the path names no regular file (a FIFO, say: its
// type is checked without waiting for a writer). Used at start-up to refuse
// a wrong path early.
void checkDatabaseReadable(const std::string& databasePath);

// $TMPDIR when set and not empty, otherwise /tmp.
std::string defaultSnapshotDirectory();

// Removes the snapshot files in `directory` that processes no longer running
// left behind (a service killed with SIGKILL, say), if this user owns them.
// Returns how many were removed.
size_t removeStaleSnapshotFiles(const std::string& directory);

}  // namespace backupservice
