#include "ConnectionDeadline.h"

#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>

#include "FileDescriptor.h"

namespace backupservice {

namespace {

constexpr auto kCheckInterval = std::chrono::milliseconds(100);

}  // namespace

// `socket` is a duplicate of the connection's socket, ours alone, so that
// shutting it down can never hit a descriptor number the library has closed
// and reused.
struct ConnectionDeadline::Watch {
    enum class Phase { Request, Answering, Replying, Closed };
    FileDescriptor socket;
    Phase phase = Phase::Request;
    Clock::time_point deadline;  // of the request, or of the current stall span
    std::shared_ptr<const std::atomic<uint64_t>> sent;
    uint64_t sentAtSpanStart = 0;
};

ConnectionDeadline::ConnectionDeadline(Clock::duration requestLimit, Clock::duration stallLimit, uint64_t stallBytes)
    : requestLimit_(requestLimit),
      stallLimit_(stallLimit),
      stallBytes_(stallBytes),
      thread_(&ConnectionDeadline::run, this) {}

ConnectionDeadline::~ConnectionDeadline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
}

Status ConnectionDeadline::accepted(int socket, Watch** watch) {
    FileDescriptor duplicate(::fcntl(socket, F_DUPFD_CLOEXEC, 0));
    if (!duplicate.valid()) return Status::error(std::string("cannot watch a connection: ") + std::strerror(errno));
    auto added = std::make_unique<Watch>();
    added->socket = std::move(duplicate);
    added->deadline = Clock::now() + requestLimit_;
    std::lock_guard<std::mutex> lock(mutex_);
    *watch = added.get();
    watches_.emplace(added.get(), std::move(added));
    return Status();
}

void ConnectionDeadline::requestReceived(Watch* watch) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (watch->phase == Watch::Phase::Request) watch->phase = Watch::Phase::Answering;
}

void ConnectionDeadline::replying(Watch* watch, std::shared_ptr<const std::atomic<uint64_t>> sent) {
    if (!watch || !sent) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (watch->phase == Watch::Phase::Closed) return;
    watch->phase = Watch::Phase::Replying;
    watch->sentAtSpanStart = sent->load();
    watch->sent = std::move(sent);
    watch->deadline = Clock::now() + stallLimit_;
}

bool ConnectionDeadline::peerWasAnswered(Watch* watch) {
    if (!watch) return false;
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(watch->socket.get(), IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
    // A kernel older than the byte counters cannot tell: take it as answered.
    if (size < offsetof(tcp_info, tcpi_bytes_sent) + sizeof info.tcpi_bytes_sent) return true;
    return info.tcpi_bytes_sent > 0;
}

void ConnectionDeadline::closed(Watch* watch) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    watches_.erase(watch);  // closes its socket
}

void ConnectionDeadline::check(Watch& watch, Clock::time_point now) {
    if (watch.phase == Watch::Phase::Replying) {
        const uint64_t sent = watch.sent->load();
        if (sent - watch.sentAtSpanStart >= stallBytes_) {
            watch.sentAtSpanStart = sent;  // moving: a new span begins
            watch.deadline = now + stallLimit_;
        }
    }
    const bool timed = watch.phase == Watch::Phase::Request || watch.phase == Watch::Phase::Replying;
    if (!timed || now < watch.deadline) return;
    // Shutting the socket down wakes the connection's thread, which then
    // sees the peer gone and closes the connection.
    ::shutdown(watch.socket.get(), SHUT_RDWR);
    watch.phase = Watch::Phase::Closed;
}

void ConnectionDeadline::run() {
    try {
        watchUntilStopped();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: the connection deadlines stopped: %s\n", error.what());
    }
}

void ConnectionDeadline::watchUntilStopped() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_.wait_for(lock, kCheckInterval, [this] { return stopping_; })) {
        const Clock::time_point now = Clock::now();
        for (const auto& watched : watches_) check(*watched.second, now);
    }
}

}  // namespace backupservice
