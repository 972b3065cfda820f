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
    std::string client;
    bool busy = false;  // admitted only for a 'busy' reply
    Phase phase = Phase::Request;
    Closer closer = Closer::None;
    Clock::time_point acceptedAt;
    Clock::time_point deadline;  // of the handshake or request, or of the current stall span
    std::shared_ptr<const std::atomic<uint64_t>> sent;
    uint64_t sentAtSpanStart = 0;

    bool open() const { return phase != Phase::Closed; }
    bool unfinished() const { return phase == Phase::Request; }
};

ConnectionDeadline::ConnectionDeadline(const Limits& limits)
    : limits_(limits), thread_(&ConnectionDeadline::run, this) {}

ConnectionDeadline::~ConnectionDeadline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    stop_.notify_all();
    thread_.join();
}

ConnectionDeadline::Admission ConnectionDeadline::admit(const std::string& client, bool proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto fromClient = [&client](const Watch& watch) { return watch.client == client; };
    // A burst of connections from one address is not held against it.
    const Clock::time_point graceStart = Clock::now() - limits_.unfinishedGrace;
    const auto lingering = [&](const Watch& w) { return fromClient(w) && w.acceptedAt < graceStart; };
    if (count([&](const Watch& w) { return lingering(w) && w.unfinished(); }) >= limits_.unfinishedPerAddress) {
        cutOldestUnfinished(fromClient);
    }
    const auto served = [](const Watch& watch) { return !watch.busy; };
    const bool addressFull =
        !proxy && count([&](const Watch& w) { return served(w) && fromClient(w); }) >= limits_.servedPerAddress;
    if (!addressFull && (count(served) < limits_.served || cutOldestUnfinished(served))) return Admission::Serve;
    const auto busy = [](const Watch& watch) { return watch.busy; };
    if (count(busy) < limits_.busy || cutOldestUnfinished(busy)) return Admission::Busy;
    return Admission::Refuse;
}

Status ConnectionDeadline::accepted(int socket, const std::string& client, Admission admission, Watch** watch) {
    FileDescriptor duplicate(::fcntl(socket, F_DUPFD_CLOEXEC, 0));
    if (!duplicate.valid()) return Status::error(std::string("cannot watch a connection: ") + std::strerror(errno));
    auto added = std::make_unique<Watch>();
    added->socket = std::move(duplicate);
    added->client = client;
    added->busy = admission != Admission::Serve;
    added->acceptedAt = Clock::now();
    added->deadline = added->acceptedAt + limits_.handshake;
    std::lock_guard<std::mutex> lock(mutex_);
    *watch = added.get();
    watches_.emplace(added.get(), std::move(added));
    return Status();
}

void ConnectionDeadline::requestLineReceived(Watch* watch) {
    if (!watch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (watch->phase == Watch::Phase::Request) watch->deadline = watch->acceptedAt + limits_.request;
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
    watch->deadline = Clock::now() + limits_.stall;
}

bool ConnectionDeadline::isBusy(Watch* watch) {
    if (!watch) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return watch->busy;
}

ConnectionDeadline::Closer ConnectionDeadline::closer(Watch* watch) {
    if (!watch) return Closer::None;
    std::lock_guard<std::mutex> lock(mutex_);
    return watch->closer;
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
        if (sent - watch.sentAtSpanStart >= limits_.stallBytes) {
            watch.sentAtSpanStart = sent;  // moving: a new span begins
            watch.deadline = now + limits_.stall;
        }
    }
    if (now < watch.deadline) return;
    if (watch.phase == Watch::Phase::Request) cut(watch, Closer::RequestDeadline);
    if (watch.phase == Watch::Phase::Replying) cut(watch, Closer::StallDeadline);
}

void ConnectionDeadline::cut(Watch& watch, Closer closer) {
    // Shutting the socket down wakes the connection's thread, which then
    // sees the peer gone and closes the connection.
    ::shutdown(watch.socket.get(), SHUT_RDWR);
    watch.phase = Watch::Phase::Closed;
    watch.closer = closer;
}

unsigned int ConnectionDeadline::count(const std::function<bool(const Watch&)>& select) const {
    unsigned int found = 0;
    for (const auto& watched : watches_) found += watched.second->open() && select(*watched.second);
    return found;
}

bool ConnectionDeadline::cutOldestUnfinished(const std::function<bool(const Watch&)>& select) {
    Watch* oldest = nullptr;
    for (const auto& watched : watches_) {
        Watch& watch = *watched.second;
        if (watch.unfinished() && select(watch) && (!oldest || watch.acceptedAt < oldest->acceptedAt)) {
            oldest = &watch;
        }
    }
    if (oldest) cut(*oldest, Closer::Limit);
    return oldest != nullptr;
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
