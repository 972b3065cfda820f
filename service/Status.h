// The one error style of the service, in the manner of leveldb's Status:
// every call that can fail returns a Status, which is either success or a
// failure that carries its message. Calls that also produce a value give it
// through a pointer argument, written only on success. No exception crosses
// a module boundary; a thread's body catches at its top and turns what it
// caught into a Status.
#pragma once

#include <string>
#include <utility>

namespace backupservice {

class [[nodiscard]] Status {
public:
    // Success.
    Status() = default;

    // A failure; `message` says what failed and why, for a person to read.
    static Status error(std::string message) { return Status(Code::Error, std::move(message)); }
    // A failure because something the call needed was held by another
    // (the database locked by a writer, or the service stopping): worth
    // trying again later.
    static Status busy(std::string message) { return Status(Code::Busy, std::move(message)); }

    bool ok() const { return code_ == Code::Ok; }
    bool isBusy() const { return code_ == Code::Busy; }
    // The failure's text; empty for success.
    const std::string& message() const { return message_; }

    // The same failure with "context: " before its message; success stays
    // success.
    Status withContext(const std::string& context) const {
        return ok() ? Status() : Status(code_, context + ": " + message_);
    }

private:
    enum class Code { Ok, Error, Busy };
    Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

    Code code_ = Code::Ok;
    std::string message_;
};

}  // namespace backupservice
