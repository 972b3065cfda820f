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
#include <system_error>

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
constexpr const char* kSourceSettings = "PRAGMA cache_size=-1024;";
// Reads page 1 and the schema, which starts the read transaction.
constexpr const char* kBeginRead = "BEGIN; SELECT count(*) FROM sqlite_schema;";
// A safety limit only: the requests waiting for a snapshot give up long
// before, and the copy stops when the last of them lets go.
constexpr int kMaxBusyCalls = 6000;
// Snapshot file names: the prefix, this process's id, a dash, six letters.
constexpr const char* kSnapshotPrefix = "BackupService-snapshot-";
// The quick_check of a finished copy; its page cache is what the check needs
// to walk the b-trees, the pages come from the system's file cache.
constexpr const char* kVerifySettings = "PRAGMA cache_size=-8192;";

struct DatabaseCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Database = std::unique_ptr<sqlite3, DatabaseCloser>;

struct BackupFinisher {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};
using Backup = std::unique_ptr<sqlite3_backup, BackupFinisher>;

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

bool isBusy(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// Opens a database; on failure returns null and sets `error`, which names
// the file as `role`.
Database openDatabase(const std::string& path, int flags, const char* vfs, const std::string& role,
                      std::string& error) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, vfs);
    Database db(raw);
    if (rc != SQLITE_OK) {
        error = "cannot open " + role + " " + path + ": " +
                (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

// Runs SQL; returns the result code and sets `error` when it is not OK.
int execute(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    return rc;
}

int pragmaValue(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    int value = 0;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
    return value;
}

// The first column of the first row as text, or the error message.
std::string pragmaText(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    std::string result;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        result = text ? reinterpret_cast<const char*>(text) : "";
    } else {
        result = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return result;
}

void put32(std::vector<unsigned char>& page, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) page[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// Whether two copies of page 1 agree apart from the fields a copy rewrites:
// 18-19 (journal mode), 24-31 (change counter, page count), 40-43 (schema
// cookie) and 92-99 (version-valid-for number, SQLite version).
bool samePageOne(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size() || a.size() < 100) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const bool rewritten = (i >= 18 && i < 20) || (i >= 24 && i < 32) || (i >= 40 && i < 44) ||
                               (i >= 92 && i < 100);
        if (!rewritten && a[i] != b[i]) return false;
    }
    return true;
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

namespace {

const char* fileTypeName(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// False, with `error` set, when `path` names something other than a regular
// file. The path is opened without blocking, so a FIFO cannot hold the check
// up waiting for a writer. A path that cannot be opened passes: SQLite then
// says why.
bool isRegularFileOrMissing(const std::string& path, std::string& error) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0 || S_ISREG(info.st_mode)) return true;
    error = path + " is " + fileTypeName(info.st_mode) + ", not a database file";
    return false;
}

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

void makeSelfContained(std::vector<unsigned char>& page, uint32_t pageCount) {
    if (page.size() < 100) return;
    page[18] = 1;  // write version: rollback journal, so no -wal file is looked for
    page[19] = 1;  // read version
    put32(page, 28, pageCount);
    std::copy(page.begin() + 24, page.begin() + 28, page.begin() + 92);
    put32(page, 96, static_cast<uint32_t>(SQLITE_VERSION_NUMBER));
}

Snapshot::Snapshot(std::string databasePath, std::string directory, bool verify)
    : databasePath_(std::move(databasePath)), directory_(std::move(directory)), verify_(verify) {}

Snapshot::~Snapshot() {
    cancelled_ = true;
    if (thread_.joinable()) thread_.join();
}

void Snapshot::start() {
    started_ = true;
    try {
        thread_ = std::thread(&Snapshot::run, this);
    } catch (const std::system_error& error) {
        fail(std::string("cannot start the copy: ") + error.what());
    }
}

void Snapshot::cancel() {
    cancelled_ = true;
    // Its requests are told the service is busy, as when every file is taken.
    if (!started_) fail("the service is stopping", true);
}

Snapshot::Progress Snapshot::waitUntilStreamable(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] { return failed_ || complete_ || ready_ > 0; });
    if (failed_) return Progress::Failed;
    if (complete_ || ready_ > 0) return Progress::Streamable;
    return started_ ? Progress::Opening : Progress::Queued;
}

uint64_t Snapshot::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

long Snapshot::read(uint64_t offset, char* buffer, size_t max) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || offset < ready_ || complete_; });
    if (failed_) return -1;
    if (offset >= size_) return 0;
    size_t count = static_cast<size_t>(std::min<uint64_t>(max, ready_ - offset));
    lock.unlock();
    // pageOne_ and the first ready_ bytes of the file no longer change.
    if (offset < pageOne_.size()) {
        count = std::min(count, pageOne_.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, pageOne_.data() + offset, count);
        return static_cast<long>(count);
    }
    if (!readFully(file_.get(), reinterpret_cast<unsigned char*>(buffer), count, offset)) return -1;
    return static_cast<long>(count);
}

bool Snapshot::failedBusy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_ && busy_;
}

std::string Snapshot::error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Snapshot::publish(uint64_t ready, bool complete) {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_ = ready;
    complete_ = complete;
    changed_.notify_all();
}

void Snapshot::fail(const std::string& message, bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return;
    failed_ = true;
    busy_ = busy;
    error_ = message;
    changed_.notify_all();
}

int Snapshot::onBusy(void* self, int count) {
    auto* snapshot = static_cast<Snapshot*>(self);
    snapshot->waitedForLock_ = true;
    if (snapshot->cancelled() || count >= kMaxBusyCalls) return 0;
    sqlite3_sleep(count < 20 ? 5 : 10);
    return 1;
}

namespace {

// Opens the database for reading and begins the read transaction the whole
// copy runs in; waits for writers through `onBusy`. A read-only connection is
// enough while any writer has the database open. A WAL database that nobody
// has open has no -wal/-shm files, and a read-only connection cannot create
// them; only then the database is reopened read-write with query_only set,
// which lets SQLite create those files but still refuses every change.
Database beginReading(const std::string& path, int (*onBusy)(void*, int), void* context,
                      std::string& error, bool& busy) {
    if (!isRegularFileOrMissing(path, error)) {
        error = "cannot open database " + path + ": " + error;
        return nullptr;
    }
    int rc = SQLITE_CANTOPEN;
    for (const int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
        Database db = openDatabase(path, flags, pageOneCaptureVfs(), "database", error);
        if (!db) return nullptr;
        sqlite3_busy_handler(db.get(), onBusy, context);
        if (flags == SQLITE_OPEN_READWRITE && execute(db.get(), "PRAGMA query_only=ON;", error))
            return nullptr;
        execute(db.get(), kSourceSettings, error);
        rc = execute(db.get(), kBeginRead, error);
        if (rc == SQLITE_OK) return db;
        if ((rc & 0xff) != SQLITE_CANTOPEN) break;
    }
    busy = isBusy(rc);
    error = "cannot read database " + path + ": " + error;
    return nullptr;
}

}  // namespace

void Snapshot::run() {
    PageOneCapture capture;
    std::string error;
    bool busy = false;
    Database source = beginReading(databasePath_, &Snapshot::onBusy, this, error, busy);
    if (!source) return fail(error, busy);
    capture.stop();

    std::string pattern =
        directory_ + "/" + kSnapshotPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> nameBuffer(pattern.begin(), pattern.end());
    nameBuffer.push_back('\0');
    file_ = FileDescriptor(::mkostemp(nameBuffer.data(), O_CLOEXEC));
    if (file_.get() < 0) {
        return fail(errnoText("cannot create a snapshot file in " + directory_, errno));
    }
    RemoveOnExit name(nameBuffer.data());
    // Our descriptor stays open until SQLite has closed its own: closing a
    // descriptor would drop SQLite's POSIX locks on the file.
    copy(source.get(), name, capture.page());
}

bool Snapshot::copy(sqlite3* source, RemoveOnExit& targetName,
                    std::vector<unsigned char> pageOne) {
    std::string error;
    Database target =
        openDatabase(targetName.path(), SQLITE_OPEN_READWRITE, nullptr, "snapshot file", error);
    if (!target || execute(target.get(), kTargetSettings, error) != SQLITE_OK) {
        fail("cannot prepare snapshot file: " + error);
        return false;
    }
    const uint64_t pageSize = static_cast<uint64_t>(pragmaValue(source, "PRAGMA page_size;"));
    Backup backup(sqlite3_backup_init(target.get(), "main", source, "main"));
    if (!backup) {
        fail("cannot start backup of " + databasePath_ + ": " + sqlite3_errmsg(target.get()));
        return false;
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
        pageOne_ = pageOne;
    }
    while (rc == SQLITE_OK && !cancelled()) {
        rc = sqlite3_db_cacheflush(target.get());
        if (rc != SQLITE_OK) break;
        if (!pageOne.empty()) {
            publish((pageCount - static_cast<uint64_t>(sqlite3_backup_remaining(backup.get()))) *
                    pageSize);
        }
        rc = sqlite3_backup_step(backup.get(), kStepPages);
    }
    // Writers may go on as soon as the pages are read.
    sqlite3_exec(source, "ROLLBACK;", nullptr, nullptr, nullptr);
    if (rc != SQLITE_DONE) {
        fail(cancelled() ? "copy stopped" : "backup of " + databasePath_ + " failed: " + sqlite3_errstr(rc));
        return false;
    }
    rc = sqlite3_backup_finish(backup.release());
    if (rc != SQLITE_OK) {
        fail("backup of " + databasePath_ + " failed: " + sqlite3_errmsg(target.get()));
        return false;
    }
    if (verify_ && !verified(target.get())) return false;
    target.reset();
    targetName.now();
    return finish(pageOne, pageSize);
}

// The last step's pages have not been published yet: a copy that fails the
// check never goes out whole.
bool Snapshot::verified(sqlite3* target) {
    std::string error;
    execute(target, kVerifySettings, error);
    // A check of a large copy takes seconds: a stopping service cuts it short.
    sqlite3_progress_handler(
        target, 10000, [](void* self) { return static_cast<Snapshot*>(self)->cancelled() ? 1 : 0; },
        this);
    std::string result = pragmaText(target, "PRAGMA quick_check(1);");
    if (cancelled()) {
        fail("copy stopped");
        return false;
    }
    if (result == "ok") return true;
    std::replace(result.begin(), result.end(), '\n', ' ');
    fail("the copy of " + databasePath_ + " fails SQLite's quick_check (the file changed " +
         "outside SQLite, was truncated or copied over while in use?): " + result);
    return false;
}

bool Snapshot::finish(std::vector<unsigned char> pageOne, uint64_t pageSize) {
    const uint64_t expected = size();
    struct stat info {};
    if (::fstat(file_.get(), &info) != 0 || static_cast<uint64_t>(info.st_size) != expected) {
        fail("the snapshot file has the wrong size");
        return false;
    }
    if (expected > 0) {
        std::vector<unsigned char> written(pageSize);
        if (!readFully(file_.get(), written.data(), written.size(), 0)) {
            fail(errnoText("cannot read the snapshot file", errno));
            return false;
        }
        makeSelfContained(written, static_cast<uint32_t>(expected / pageSize));
        if (pageOne.empty()) {
            // Not seen when the read transaction began: send the copy's own.
            std::lock_guard<std::mutex> lock(mutex_);
            pageOne_ = written;
        } else if (!samePageOne(pageOne, written)) {
            fail("page 1 of the copy differs from the one sent");
            return false;
        }
    }
    publish(expected, true);
    return true;
}

SnapshotPool::SnapshotPool(std::string databasePath, std::string directory, size_t maxFiles,
                           bool verify)
    : databasePath_(std::move(databasePath)), directory_(std::move(directory)),
      maxFiles_(std::max<size_t>(maxFiles, 1)), verify_(verify) {}

SnapshotPool::~SnapshotPool() { closeWatch(); }

std::shared_ptr<Snapshot> SnapshotPool::create() {
    return std::shared_ptr<Snapshot>(new Snapshot(databasePath_, directory_, verify_),
                                     [this](Snapshot* snapshot) { released(snapshot); });
}

void SnapshotPool::closeWatch() {
    sqlite3_close_v2(watch_);
    watch_ = nullptr;
}

// The file is identified before it is opened: should a rename come in
// between, the next request sees another file and opens the watch afresh.
bool SnapshotPool::openWatch() {
    struct stat info {};
    if (::stat(databasePath_.c_str(), &info) != 0) return false;
    std::string error;
    bool busy = false;
    // The same way in as a snapshot, then out of the transaction:
    // data_version is read outside one.
    Database db = beginReading(databasePath_, nullptr, nullptr, error, busy);
    if (!db) return false;
    sqlite3_exec(db.get(), "ROLLBACK;", nullptr, nullptr, nullptr);
    watch_ = db.release();
    watchDevice_ = static_cast<uint64_t>(info.st_dev);
    watchInode_ = static_cast<uint64_t>(info.st_ino);
    ++watchGeneration_;  // versions read on another connection are not comparable
    return true;
}

SnapshotPool::Version SnapshotPool::dataVersion() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    struct stat info {};
    const bool named = ::stat(databasePath_.c_str(), &info) == 0;
    if (watch_ && (!named || static_cast<uint64_t>(info.st_dev) != watchDevice_ ||
                   static_cast<uint64_t>(info.st_ino) != watchInode_)) {
        closeWatch();  // also lets go of a file renamed over or deleted
    }
    Version version;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!watch_ && !openWatch()) return version;
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(watch_, "PRAGMA data_version;", -1, &statement, nullptr);
        if (rc == SQLITE_OK) rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) version.value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        if (rc == SQLITE_ROW) {
            version.known = true;
            version.generation = watchGeneration_;
            return version;
        }
        if (isBusy(rc)) return version;
        closeWatch();  // something else went wrong: start afresh once
    }
    return version;
}

std::shared_ptr<Snapshot> SnapshotPool::join() {
    const Version version = dataVersion();
    // Snapshots looked at are let go only after the lock: letting go of the
    // last reference runs released(), which takes the lock itself.
    std::vector<std::shared_ptr<Snapshot>> seen;
    std::shared_ptr<Snapshot> fresh;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_) return nullptr;
        for (const std::weak_ptr<Snapshot>& running : started_) {
            seen.push_back(running.lock());
            const std::shared_ptr<Snapshot>& candidate = seen.back();
            if (candidate && version.known && candidate->versionKnown_ &&
                candidate->watchGeneration_ == version.generation &&
                candidate->version_ == version.value &&
                candidate->waitUntilStreamable(Clock::now()) != Snapshot::Progress::Failed) {
                return candidate;
            }
        }
        seen.push_back(queued_.lock());
        if (seen.back()) return seen.back();
        fresh = create();
        if (live_ >= maxFiles_) {
            queued_ = fresh;
            return fresh;
        }
        ++live_;
        record(fresh, version);
    }
    fresh->start();
    return fresh;
}

void SnapshotPool::cancelAll() {
    std::vector<std::shared_ptr<Snapshot>> running;  // let go after the lock, as in join()
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (const std::weak_ptr<Snapshot>& snapshot : started_) running.push_back(snapshot.lock());
    running.push_back(queued_.lock());
    for (const std::shared_ptr<Snapshot>& snapshot : running) {
        if (snapshot) snapshot->cancel();
    }
}

// The version is read before the snapshot starts, so that a commit in
// between makes the snapshot look older than it is, never newer.
void SnapshotPool::record(const std::shared_ptr<Snapshot>& snapshot, const Version& version) {
    snapshot->versionKnown_ = version.known;
    snapshot->version_ = version.value;
    snapshot->watchGeneration_ = version.generation;
    started_.push_back(snapshot);
}

void SnapshotPool::released(Snapshot* snapshot) {
    const bool started = snapshot->started();
    delete snapshot;  // stops its copy and closes its file
    if (!started) return;
    const Version version = dataVersion();
    std::shared_ptr<Snapshot> next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --live_;
        started_.erase(std::remove_if(started_.begin(), started_.end(),
                                      [](const std::weak_ptr<Snapshot>& s) { return s.expired(); }),
                       started_.end());
        next = queued_.lock();
        if (next && !stopped_) {
            queued_.reset();
            ++live_;
            record(next, version);
        } else {
            next.reset();
        }
    }
    if (next) next->start();
}

namespace {

// At start-up a writer gets a few seconds to finish before the check fails.
int waitAtStartUp(void*, int count) {
    if (count >= 500) return 0;
    sqlite3_sleep(10);
    return 1;
}

}  // namespace

void checkDatabaseReadable(const std::string& databasePath) {
    std::string error;
    bool busy = false;
    Database db = beginReading(databasePath, &waitAtStartUp, nullptr, error, busy);
    if (!db) throw SnapshotError(error);
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
    if (dash == std::string::npos || dash == prefix.size() || dash > prefix.size() + 9 ||
        name.size() != dash + 7)
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
        if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::geteuid() && ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

}  // namespace backupservice
