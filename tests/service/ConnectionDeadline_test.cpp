// Which connections ConnectionDeadline serves, answers 'busy', refuses or
// closes to make room, on socket pairs standing in for connections.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ConnectionDeadline.h"
#include "FileDescriptor.h"

using namespace backupservice;
using Admission = ConnectionDeadline::Admission;
using Closer = ConnectionDeadline::Closer;

namespace {

constexpr auto kHour = std::chrono::hours(1);

// A connection: the service's end is watched, the client's end tells
// whether the service shut it down.
struct Connection {
    FileDescriptor service;
    FileDescriptor client;
    ConnectionDeadline::Watch* watch = nullptr;

    bool shutDown() const {
        char byte;
        return ::recv(client.get(), &byte, 1, MSG_DONTWAIT) == 0;
    }
};

class ConnectionDeadlineTest : public ::testing::Test {
protected:
    // Admits a connection from `client` and, unless refused, starts watching it.
    Admission connect(const std::string& client, Connection& connection, bool proxy = false) {
        const Admission admission = deadline->admit(client, proxy);
        if (admission == Admission::Refuse) return admission;
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        connection.service = FileDescriptor(ends[0]);
        connection.client = FileDescriptor(ends[1]);
        EXPECT_TRUE(deadline->accepted(connection.service.get(), client, admission, &connection.watch).ok());
        return admission;
    }

    void TearDown() override {
        for (Connection* connection : {&a, &b, &c, &d, &e}) deadline->closed(connection->watch);
    }

    void limit(unsigned int unfinishedPerAddress, std::chrono::steady_clock::duration grace) {
        deadline = std::make_unique<ConnectionDeadline>(
            ConnectionDeadline::Limits{kHour, kHour, kHour, 1, 2, 2, unfinishedPerAddress, grace, 1});
    }

    std::unique_ptr<ConnectionDeadline> deadline;
    Connection a, b, c, d, e, refused;
};

}  // namespace

// Two places and one busy place: a third connection closes the oldest
// unfinished one; once none is unfinished, new ones are only answered
// 'busy', a newer busy one closes an unfinished busy one, and when that
// place is taken by a finished one, the next is refused.
TEST_F(ConnectionDeadlineTest, AFullServiceClosesTheOldestUnfinishedConnection) {
    limit(10, kHour);
    EXPECT_EQ(connect("10.0.0.1", a), Admission::Serve);
    deadline->requestReceived(a.watch);
    EXPECT_EQ(connect("10.0.0.2", b), Admission::Serve);
    EXPECT_EQ(connect("10.0.0.3", c), Admission::Serve);
    EXPECT_TRUE(b.shutDown());
    EXPECT_EQ(deadline->closer(b.watch), Closer::Limit);
    EXPECT_FALSE(a.shutDown());
    EXPECT_EQ(deadline->closer(a.watch), Closer::None);

    deadline->requestReceived(c.watch);
    EXPECT_EQ(connect("10.0.0.4", d), Admission::Busy);
    EXPECT_TRUE(deadline->isBusy(d.watch));
    EXPECT_FALSE(deadline->isBusy(c.watch));
    EXPECT_EQ(connect("10.0.0.5", e), Admission::Busy);
    EXPECT_TRUE(d.shutDown());
    deadline->requestReceived(e.watch);
    EXPECT_EQ(connect("10.0.0.6", refused), Admission::Refuse);
    EXPECT_FALSE(a.shutDown() || c.shutDown() || e.shutDown());
}

// An address's unfinished connections past the grace are capped: a new one
// closes the oldest, and another address is not touched...
TEST_F(ConnectionDeadlineTest, AnAddressKeepsFewLingeringUnfinishedConnections) {
    limit(1, std::chrono::steady_clock::duration::zero());
    EXPECT_EQ(connect("10.0.0.1", a), Admission::Serve);
    EXPECT_EQ(connect("10.0.0.2", c), Admission::Serve);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(connect("10.0.0.1", d), Admission::Serve);
    EXPECT_TRUE(a.shutDown());
    EXPECT_EQ(deadline->closer(a.watch), Closer::Limit);
    EXPECT_FALSE(c.shutDown());
}

// ...but a burst within the grace is let in.
TEST_F(ConnectionDeadlineTest, ABurstFromOneAddressIsLetIn) {
    limit(1, kHour);
    EXPECT_EQ(connect("10.0.0.1", a), Admission::Serve);
    EXPECT_EQ(connect("10.0.0.1", b), Admission::Serve);
    EXPECT_FALSE(a.shutDown());
}

// A trusted proxy is held to the total places, not to those of one address:
// the clients behind it are counted once their requests name them.
TEST_F(ConnectionDeadlineTest, AProxyIsHeldToTheTotalOnly) {
    deadline =
        std::make_unique<ConnectionDeadline>(ConnectionDeadline::Limits{kHour, kHour, kHour, 1, 3, 1, 10, kHour, 1});
    EXPECT_EQ(connect("10.0.0.1", a), Admission::Serve);
    EXPECT_EQ(connect("10.0.0.1", b), Admission::Busy);
    EXPECT_EQ(connect("10.0.0.9", c, true), Admission::Serve);
    EXPECT_EQ(connect("10.0.0.9", d, true), Admission::Serve);
    for (const Connection* held : {&a, &b, &c, &d}) deadline->requestReceived(held->watch);
    EXPECT_EQ(connect("10.0.0.9", e, true), Admission::Refuse) << "past the total and the busy place";
}
