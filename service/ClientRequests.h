// Requests in progress per client address, so that one client behind a
// reverse proxy cannot take all the places of the others behind it.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace backupservice {

// Counts the requests each client has in progress, at most `perClient`.
// Remembers only clients with requests in progress. Thread-safe.
class ClientRequests {
public:
    // A place taken for one request; gives it back when destroyed. An empty
    // one holds no place. Must not outlive the ClientRequests it came from.
    class Slot {
    public:
        Slot() = default;
        ~Slot() { release(); }
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&& other) noexcept;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;

        bool held() const { return owner_ != nullptr; }

    private:
        friend class ClientRequests;
        Slot(ClientRequests* owner, std::string client) : owner_(owner), client_(std::move(client)) {}
        void release();

        ClientRequests* owner_ = nullptr;
        std::string client_;
    };

    explicit ClientRequests(unsigned int perClient) : perClient_(perClient) {}
    ClientRequests(const ClientRequests&) = delete;
    ClientRequests& operator=(const ClientRequests&) = delete;

    // A place for a request from `client`, or an empty Slot when it already
    // has `perClient` requests in progress.
    Slot take(const std::string& client);

private:
    void give(const std::string& client);

    const unsigned int perClient_;
    std::mutex mutex_;
    std::map<std::string, unsigned int> inProgress_;  // never 0
};

}  // namespace backupservice
