#include "HeaderDeadline.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace backupservice {

namespace {

constexpr auto kCheckInterval = std::chrono::milliseconds(250);

}  // namespace

// A duplicate of the connection's socket, ours alone, so that shutting it
// down can never hit a descriptor number the library has closed and reused.
struct HeaderDeadline::Watch {
    int socket = -1;  // -1 once the deadline no longer applies
    Clock::time_point deadline;
};

HeaderDeadline::HeaderDeadline(Clock::duration limit)
    : limit_(limit), thread_(&HeaderDeadline::run, this) {}

HeaderDeadline::~HeaderDeadline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
    for (Watch* watch : watches_) {
        endWatch(watch, false);
        delete watch;
    }
}

HeaderDeadline::Watch* HeaderDeadline::accepted(int socket) {
    const int duplicate = ::fcntl(socket, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) return nullptr;
    auto* watch = new Watch{duplicate, Clock::now() + limit_};
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.insert(watch);
    return watch;
}

void HeaderDeadline::headerReceived(Watch* watch) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    endWatch(watch, false);
}

void HeaderDeadline::closed(Watch* watch) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    endWatch(watch, false);
    watches_.erase(watch);
    delete watch;
}

void HeaderDeadline::endWatch(Watch* watch, bool shutDown) {
    if (watch->socket < 0) return;
    // Shutting the socket down wakes the connection's thread, which then
    // sees the peer gone and closes the connection.
    if (shutDown) ::shutdown(watch->socket, SHUT_RDWR);
    ::close(watch->socket);
    watch->socket = -1;
}

void HeaderDeadline::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_.wait_for(lock, kCheckInterval, [this] { return stopping_; })) {
        const Clock::time_point now = Clock::now();
        for (Watch* watch : watches_) {
            if (watch->socket >= 0 && now >= watch->deadline) endWatch(watch, true);
        }
    }
}

}  // namespace backupservice
