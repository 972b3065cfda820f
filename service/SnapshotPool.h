// Which requests share a copy of the database, and how many copies exist at
// once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Database.h"
#include "Snapshot.h"

namespace backupservice {

// Hands out snapshots that hold the database as it was when the request
// asking for one arrived, or later, with at most `maxFiles` snapshot files at
// a time. A request joins a running snapshot when nothing has been committed
// to the database since just before that snapshot's read transaction began
// (SQLite's data_version, read on a connection of the pool's own, the watch);
// otherwise it gets a new snapshot, or, while all files are taken, waits to
// share the next one, which starts as soon as another is released by its
// last reader.
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

    // A started snapshot for a request that arrived now. While every file is
    // taken, waits until `deadline` for the next one. Null when the deadline
    // passed first, and once cancelAll() has been called.
    std::shared_ptr<Snapshot> join(Clock::time_point deadline);
    // Stops every copy under way, and refuses new ones and the requests
    // waiting for one (the service is stopping).
    void cancelAll();

private:
    // What the requests waiting for a free file share: the snapshot started
    // for them, once there is one.
    struct Turn {
        std::shared_ptr<Snapshot> snapshot;
    };

    // These are called with mutex_ held. A running snapshot the request may
    // share, or null; every snapshot looked at is kept in *seen, to be let go
    // of after the lock.
    std::shared_ptr<Snapshot> shareable(const DataVersion& version, std::vector<std::shared_ptr<Snapshot>>* seen);
    // A new snapshot, counted among the files, not started yet.
    std::shared_ptr<Snapshot> create(const DataVersion& version);
    std::shared_ptr<Snapshot> waitForTurn(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

    // The deleter of every snapshot handed out.
    void released(Snapshot* snapshot);
    // Reads the database's data version on the watch, first reopening the
    // watch when the path names another file than the one it has open.
    DataVersion dataVersion();
    // Called with watchMutex_ held.
    Status openWatch();

    const std::string databasePath_;
    const std::string directory_;
    const size_t maxFiles_;
    const bool verify_;
    std::mutex mutex_;
    std::condition_variable turnTaken_;
    bool stopped_ = false;
    size_t live_ = 0;
    std::vector<std::weak_ptr<Snapshot>> started_;
    size_t waiting_ = 0;                                     // requests waiting for a free file
    std::shared_ptr<Turn> turn_ = std::make_shared<Turn>();  // the one they wait for
    std::mutex watchMutex_;
    Database watch_;            // opened on first use
    uint64_t watchDevice_ = 0;  // the file the watch has open
    uint64_t watchInode_ = 0;
    unsigned long watchGeneration_ = 0;  // counts the watches opened
};

}  // namespace backupservice
