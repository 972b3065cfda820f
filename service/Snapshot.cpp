#include "Snapshot.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>

#include "Database.h"
#include "PageOneCapture.h"

namespace backupservice {

namespace {

// Pages copied per backup step: small enough that the first bytes go out
// at once, large enough that a step's overhead does not matter.
constexpr int kStepPages = 256;
// The copy's page cache; its pages are written out after every step.
constexpr const char* kTargetSettings =
    "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
    "PRAGMA cache_size=64;";
// A safety limit only: the requests waiting for a snapshot give up long
// before, and the copy stops when the last of them lets go.
constexpr int kMaxBusyCalls = 6000;
// Snapshot file names: the prefix, this process's id, a dash, six letters.
constexpr const char* kSnapshotPrefix = "BackupService-snapshot-";
// The quick_check of a finished copy; its page cache is what the check needs
// to walk the b-trees, the pages come from the system's file cache.
constexpr const char* kVerifySettings = "PRAGMA cache_size=-8192;";
const char* const kCopyStopped = "copy stopped";

struct BackupFinisher {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};
using Backup = std::unique_ptr<sqlite3_backup, BackupFinisher>;

Status errnoFailure(const std::string& what, int error) { return Status::error(what + ": " + std::strerror(error)); }

int pragmaValue(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    int value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
}

bool readFully(int fd, unsigned char* buffer, size_t size, uint64_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

// Removes a file name when the scope ends, or earlier through now().
class Snapshot::RemoveOnExit {
public:
    explicit RemoveOnExit(std::string path) : path_(std::move(path)) {}
    ~RemoveOnExit() { now(); }
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;

    const std::string& path() const { return path_; }
    void now() {
        if (!removed_) ::unlink(path_.c_str());
        removed_ = true;
    }

private:
    std::string path_;
    bool removed_ = false;
};

Snapshot::Snapshot(std::string databasePath, std::string directory, bool verify, DataVersion version)
    : databasePath_(std::move(databasePath)), directory_(std::move(directory)), verify_(verify), version_(version) {}

Snapshot::~Snapshot() {
    cancelled_ = true;
    if (thread_.joinable()) thread_.join();
}

void Snapshot::start() {
    try {
        thread_ = std::thread(&Snapshot::run, this);
    } catch (const std::system_error& error) {
        fail(Status::error(std::string("cannot start the copy: ") + error.what()));
    }
}

void Snapshot::cancel() { cancelled_ = true; }

Snapshot::Progress Snapshot::waitUntilStreamable(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return !failure_.ok() || complete_ || ready_ > 0; });
    if (!failure_.ok()) return Progress::Failed;
    if (complete_ || ready_ > 0) return Progress::Streamable;
    return Progress::Opening;
}

uint64_t Snapshot::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

uint64_t Snapshot::pageCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pageCount_;
}

Status Snapshot::read(uint64_t offset, char* buffer, size_t max, size_t* count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !failure_.ok() || offset < ready_ || complete_; });
    if (!failure_.ok()) return failure_;
    *count = 0;
    if (offset >= size_) return Status();
    size_t length = static_cast<size_t>(std::min<uint64_t>(max, ready_ - offset));
    lock.unlock();
    // pageOne_ and the first ready_ bytes of the file no longer change.
    if (offset < pageOne_.size()) {
        length = std::min(length, pageOne_.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, pageOne_.data() + offset, length);
    } else if (!readFully(file_.get(), reinterpret_cast<unsigned char*>(buffer), length, offset)) {
        return errnoFailure("cannot read the snapshot file", errno);
    }
    *count = length;
    return Status();
}

Status Snapshot::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

void Snapshot::publish(uint64_t ready, bool complete) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = ready;
    complete_ = complete;
    changed_.notify_all();
}

void Snapshot::fail(const Status& failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failure_.ok()) return;
    failure_ = failure;
    changed_.notify_all();
}

int Snapshot::onBusy(void* self, int count) {
    auto* snapshot = static_cast<Snapshot*>(self);
    snapshot->waitedForLock_ = true;
    if (snapshot->cancelled() || count >= kMaxBusyCalls) return 0;
    sqlite3_sleep(count < 20 ? 5 : 10);
    return 1;
}

void Snapshot::run() {
    try {
        const Status copied = makeCopy();
        if (!copied.ok()) fail(copied);
    } catch (const std::exception& error) {
        fail(Status::error(std::string("the copy failed: ") + error.what()));
    }
}

Status Snapshot::makeCopy() {
    PageOneCapture capture;
    Database source;
    const Status reading = beginReading(databasePath_, &Snapshot::onBusy, this, &source);
    if (!reading.ok()) return reading;
    capture.stop();

    std::string pattern = directory_ + "/" + kSnapshotPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> nameBuffer(pattern.begin(), pattern.end());
    nameBuffer.push_back('\0');
    file_ = FileDescriptor(::mkostemp(nameBuffer.data(), O_CLOEXEC));
    if (!file_.valid()) return errnoFailure("cannot create a snapshot file in " + directory_, errno);
    RemoveOnExit name(nameBuffer.data());
    // Our descriptor stays open until SQLite has closed its own: closing a
    // descriptor would drop SQLite's POSIX locks on the file.
    return copy(source.get(), name, capture.page());
}

Status Snapshot::copy(sqlite3* source, RemoveOnExit& targetName, std::vector<unsigned char> pageOne) {
    Database target;
    Status prepared = openDatabase(targetName.path(), SQLITE_OPEN_READWRITE, nullptr, "snapshot file", &target);
    if (prepared.ok()) prepared = execute(target.get(), kTargetSettings);
    if (!prepared.ok()) return Status::error("cannot prepare snapshot file: " + prepared.message());
    const uint64_t pageSize = static_cast<uint64_t>(pragmaValue(source, "PRAGMA page_size;"));
    Backup backup(sqlite3_backup_init(target.get(), "main", source, "main"));
    if (!backup) {
        return Status::error("cannot start backup of " + databasePath_ + ": " + sqlite3_errmsg(target.get()));
    }
    int rc = sqlite3_backup_step(backup.get(), kStepPages);
    const uint64_t pageCount = static_cast<uint64_t>(sqlite3_backup_pagecount(backup.get()));
    if (pageOne.size() == pageSize) {
        makeSelfContained(pageOne, static_cast<uint32_t>(pageCount));
    } else {
        pageOne.clear();  // not seen: sent once the copy is complete
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_ = pageCount * pageSize;
        pageCount_ = pageCount;
        pageOne_ = pageOne;
    }
    while (rc == SQLITE_OK && !cancelled()) {
        rc = sqlite3_db_cacheflush(target.get());
        if (rc != SQLITE_OK) break;
        if (!pageOne.empty()) {
            publish((pageCount - static_cast<uint64_t>(sqlite3_backup_remaining(backup.get()))) * pageSize);
        }
        rc = sqlite3_backup_step(backup.get(), kStepPages);
    }
    // Writers may go on as soon as the pages are read.
    sqlite3_exec(source, "ROLLBACK;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_DONE) {
        return Status::error(cancelled() ? kCopyStopped
                                         : "backup of " + databasePath_ + " failed: " + sqlite3_errstr(rc));
    }
    rc = sqlite3_backup_finish(backup.release());
    if (rc != SQLITE_OK) {
        return Status::error("backup of " + databasePath_ + " failed: " + sqlite3_errmsg(target.get()));
    }
    if (verify_) {
        const Status checked = verify(target.get());
        if (!checked.ok()) return checked;
    }
    target.reset();
    targetName.now();
    return finish(pageOne, pageSize);
}

// The last step's pages have not been published yet: a copy that fails the
// check never goes out whole.
Status Snapshot::verify(sqlite3* target) {
    // Checked with the default cache when a larger one cannot be had.
    static_cast<void>(execute(target, kVerifySettings));
    // A check of a large copy takes seconds: a stopping service cuts it short.
    sqlite3_progress_handler(
        target, 10000, [](void* self) { return static_cast<Snapshot*>(self)->cancelled() ? 1 : 0; }, this);
    std::string result;
    const Status checked = queryText(target, "PRAGMA quick_check(1);", &result);
    if (!checked.ok()) result = checked.message();
    if (cancelled()) return Status::error(kCopyStopped);
    if (result == "ok") return Status();
    std::replace(result.begin(), result.end(), '\n', ' ');
    return Status::error("the copy of " + databasePath_ + " fails SQLite's quick_check (the file changed " +
                         "outside SQLite, was truncated or copied over while in use?): " + result);
}

Status Snapshot::finish(std::vector<unsigned char> pageOne, uint64_t pageSize) {
    const uint64_t expected = size();
    struct stat info {};
    if (::fstat(file_.get(), &info) != 0 || static_cast<uint64_t>(info.st_size) != expected) {
        return Status::error("the snapshot file has the wrong size");
    }
    if (expected > 0) {
        std::vector<unsigned char> written(pageSize);
        if (!readFully(file_.get(), written.data(), written.size(), 0)) {
            return errnoFailure("cannot read the snapshot file", errno);
        }
        makeSelfContained(written, static_cast<uint32_t>(expected / pageSize));
        if (pageOne.empty()) {
            // Not seen when the read transaction began: send the copy's own.
            std::lock_guard<std::mutex> lock(mutex_);
            pageOne_ = written;
        } else if (!samePageOne(pageOne, written)) {
            return Status::error("page 1 of the copy differs from the one sent");
        }
    }
    publish(expected, true);
    return Status();
}

std::string defaultSnapshotDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp && *tmp) ? std::string(tmp) : std::string("/tmp");
}

namespace {

// The process id in a snapshot file name; 0 for any other name.
pid_t snapshotOwner(const std::string& name) {
    const std::string prefix = kSnapshotPrefix;
    if (name.rfind(prefix, 0) != 0) return 0;
    const size_t dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash > prefix.size() + 9 || name.size() != dash + 7)
        return 0;
    long pid = 0;
    for (size_t i = prefix.size(); i < dash; ++i) {
        if (name[i] < '0' || name[i] > '9') return 0;
        pid = pid * 10 + (name[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

bool isRunning(pid_t pid) { return ::kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

size_t removeStaleSnapshotFiles(const std::string& directory) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), &::closedir);
    if (!dir) return 0;
    size_t removed = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const pid_t owner = snapshotOwner(entry->d_name);
        if (owner <= 0 || owner == ::getpid() || isRunning(owner)) continue;
        struct stat info {};
        const std::string path = directory + "/" + entry->d_name;
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

}  // namespace backupservice
