#include "SnapshotPool.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace backupservice {

SnapshotPool::SnapshotPool(std::string databasePath, std::string directory, size_t maxFiles, bool verify)
    : databasePath_(std::move(databasePath)),
      directory_(std::move(directory)),
      maxFiles_(std::max<size_t>(maxFiles, 1)),
      verify_(verify) {}

SnapshotPool::~SnapshotPool() = default;

std::shared_ptr<Snapshot> SnapshotPool::join(Clock::time_point deadline) {
    const DataVersion version = dataVersion();
    // Snapshots looked at are let go only after the lock: letting go of the
    // last reference runs released(), which takes the lock itself.
    std::vector<std::shared_ptr<Snapshot>> seen;
    std::shared_ptr<Snapshot> fresh;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopped_) return nullptr;
        if (std::shared_ptr<Snapshot> shared = shareable(version, &seen)) return shared;
        if (live_ >= maxFiles_) return waitForTurn(lock, deadline);
        fresh = create(version);
    }
    fresh->start();
    return fresh;
}

std::shared_ptr<Snapshot> SnapshotPool::shareable(const DataVersion& version,
                                                  std::vector<std::shared_ptr<Snapshot>>* seen) {
    for (const std::weak_ptr<Snapshot>& running : started_) {
        seen->push_back(running.lock());
        const std::shared_ptr<Snapshot>& candidate = seen->back();
        if (candidate && candidate->version().sameAs(version) &&
            candidate->waitUntilStreamable(Clock::now()) != Snapshot::Progress::Failed) {
            return candidate;
        }
    }
    return nullptr;
}

std::shared_ptr<Snapshot> SnapshotPool::create(const DataVersion& version) {
    std::shared_ptr<Snapshot> snapshot(new Snapshot(databasePath_, directory_, verify_, version),
                                       [this](Snapshot* snapshot) { released(snapshot); });
    ++live_;
    started_.push_back(snapshot);
    return snapshot;
}

// The turn's snapshot, once set, is also held by the request that takes it,
// so letting go of the turn here never lets go of the snapshot's last
// reference under the lock.
std::shared_ptr<Snapshot> SnapshotPool::waitForTurn(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    const std::shared_ptr<Turn> turn = turn_;
    ++waiting_;
    turnTaken_.wait_until(lock, deadline, [this, &turn] { return stopped_ || turn->snapshot; });
    if (turn->snapshot) return turn->snapshot;
    --waiting_;
    return nullptr;
}

void SnapshotPool::cancelAll() {
    std::vector<std::shared_ptr<Snapshot>> running;  // let go after the lock, as in join()
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (const std::weak_ptr<Snapshot>& snapshot : started_) running.push_back(snapshot.lock());
    for (const std::shared_ptr<Snapshot>& snapshot : running) {
        if (snapshot) snapshot->cancel();
    }
    turnTaken_.notify_all();
}

// The version is read before the next snapshot starts, so that a commit in
// between makes the snapshot look older than it is, never newer.
void SnapshotPool::released(Snapshot* snapshot) {
    delete snapshot;  // stops its copy and closes its file
    const DataVersion version = dataVersion();
    std::shared_ptr<Snapshot> next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --live_;
        started_.erase(std::remove_if(started_.begin(), started_.end(),
                                      [](const std::weak_ptr<Snapshot>& s) { return s.expired(); }),
                       started_.end());
        if (waiting_ > 0 && !stopped_) {
            next = create(version);
            turn_->snapshot = next;
            turn_ = std::make_shared<Turn>();
            waiting_ = 0;
            turnTaken_.notify_all();
        }
    }
    if (next) next->start();
}

// The file is identified before it is opened: should a rename come in
// between, the next request sees another file and opens the watch afresh.
Status SnapshotPool::openWatch() {
    struct stat info {};
    if (::stat(databasePath_.c_str(), &info) != 0) {
        return Status::error("cannot find database " + databasePath_ + ": " + std::strerror(errno));
    }
    // The same way in as a snapshot, then out of the transaction:
    // data_version is read outside one.
    Database db;
    const Status reading = beginReading(databasePath_, nullptr, nullptr, &db);
    if (!reading.ok()) return reading;
    sqlite3_exec(db.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
    watch_ = std::move(db);
    watchDevice_ = static_cast<uint64_t>(info.st_dev);
    watchInode_ = static_cast<uint64_t>(info.st_ino);
    ++watchGeneration_;  // versions read on another connection are not comparable
    return Status();
}

DataVersion SnapshotPool::dataVersion() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    struct stat info {};
    const bool named = ::stat(databasePath_.c_str(), &info) == 0;
    if (watch_ && (!named || static_cast<uint64_t>(info.st_dev) != watchDevice_ ||
                   static_cast<uint64_t>(info.st_ino) != watchInode_)) {
        watch_.reset();  // also lets go of a file renamed over or deleted
    }
    DataVersion version;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Without a watch the version is unknown, and no snapshot is shared.
        if (!watch_ && !openWatch().ok()) return version;
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(watch_.get(), "PRAGMA data_version;", -1, &statement, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) version.value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        if (rc == SQLITE_ROW) {
            version.known = true;
            version.generation = watchGeneration_;
            return version;
        }
        if (isBusy(rc)) return version;
        watch_.reset();  // something else went wrong: start afresh once
    }
    return version;
}

}  // namespace backupservice
