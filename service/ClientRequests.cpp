#include "ClientRequests.h"

#include <utility>

namespace backupservice {

ClientRequests::Slot::Slot(Slot&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), client_(std::move(other.client_)) {}

ClientRequests::Slot& ClientRequests::Slot::operator=(Slot&& other) noexcept {
    if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
        client_ = std::move(other.client_);
    }
    return *this;
}

void ClientRequests::Slot::release() {
    if (owner_) std::exchange(owner_, nullptr)->give(client_);
}

ClientRequests::Slot ClientRequests::take(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsigned int& count = inProgress_[client];
    if (count >= perClient_) {
        if (count == 0) inProgress_.erase(client);  // a limit of 0
        return Slot();
    }
    ++count;
    return Slot(this, client);
}

void ClientRequests::give(const std::string& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = inProgress_.find(client);
    if (found != inProgress_.end() && --found->second == 0) inProgress_.erase(found);
}

}  // namespace backupservice
