// Consistent copies of a live SQLite database, made with SQLite's online
// backup API so a download never sees a file that is half-way through a write.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

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

// A finished snapshot: an open, read-only descriptor whose file name has
// already been removed, so the data disappears as soon as it is closed,
// whether the download completes or not.
struct Snapshot {
    FileDescriptor file;
    uint64_t size = 0;
};

// Copies the database at databasePath (opened for reading only) into a new file in
// directory and returns it as a Snapshot. The copy is a self-contained
// rollback-journal database even when the source uses WAL. Throws
// SnapshotError with a readable message on failure; nothing is left behind.
Snapshot takeSnapshot(const std::string& databasePath, const std::string& directory);

// Opens the database read-only and reads its schema; throws SnapshotError
// when that fails. Used at start-up to refuse a wrong path early.
void checkDatabaseReadable(const std::string& databasePath);

// $TMPDIR when set and not empty, otherwise /tmp.
std::string defaultSnapshotDirectory();

}  // namespace backupservice
