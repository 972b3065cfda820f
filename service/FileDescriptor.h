// Owns one open file descriptor and closes it when it goes.
#pragma once

namespace backupservice {

class FileDescriptor {
public:
    FileDescriptor() = default;
    // Takes `fd`, which may be negative for none.
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    // The descriptor, still owned; negative when there is none.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up to the caller, who closes it.
    int release();

private:
    int fd_ = -1;
};

}  // namespace backupservice
