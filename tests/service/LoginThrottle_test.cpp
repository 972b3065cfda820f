#include <gtest/gtest.h>

#include <chrono>

#include "LoginThrottle.h"

using namespace backupservice;
using std::chrono::seconds;
using Verdict = LoginThrottle::Verdict;

namespace {

const LoginThrottle::Clock::time_point t0{std::chrono::hours(1)};

}  // namespace

TEST(LoginThrottleTest, ShutsOutAPairUntilTheWindowOfItsFirstFailureHasPassed) {
    LoginThrottle throttle(3, 100, seconds(60), 2);
    LoginThrottle::Clock::duration wait{};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(throttle.check("a", "u@x", t0 + seconds(i), &wait), Verdict::Allowed);
        throttle.failed("a", "u@x", t0 + seconds(i));
    }
    EXPECT_EQ(throttle.check("a", "U@X", t0 + seconds(59), &wait), Verdict::ShutOut) << "accounts ignore case";
    EXPECT_EQ(wait, seconds(1));
    EXPECT_EQ(throttle.check("b", "u@x", t0 + seconds(59), &wait), Verdict::Allowed) << "another address";
    EXPECT_EQ(throttle.check("a", "v@x", t0 + seconds(59), &wait), Verdict::Allowed) << "another account";
    EXPECT_EQ(throttle.check("a", "u@x", t0 + seconds(60), &wait), Verdict::Allowed);
    throttle.failed("a", "u@x", t0 + seconds(61));
    EXPECT_EQ(throttle.check("a", "u@x", t0 + seconds(62), &wait), Verdict::Allowed) << "a new window";

    throttle.failed("b", "u@x", t0);
    throttle.failed("b", "u@x", t0);
    throttle.succeeded("b", "u@x");
    throttle.failed("b", "u@x", t0);
    EXPECT_EQ(throttle.check("b", "u@x", t0, &wait), Verdict::Allowed) << "a good login clears the failures";

    LoginThrottle bounded(3, 100, seconds(60), 10);
    const std::string made(256, 'x');
    for (const char* tail : {"1", "2", "3"}) bounded.failed("c", made + tail, t0);
    EXPECT_EQ(bounded.check("c", made, t0, &wait), Verdict::ShutOut) << "only the first 256 bytes count";
}

// An address that tries many accounts is shut out of all of them at the
// ceiling, and a good login with one account does not clear that count.
TEST(LoginThrottleTest, AnAddressIsShutOutOfEveryAccountAtItsCeiling) {
    LoginThrottle throttle(3, 6, seconds(60), 100);
    LoginThrottle::Clock::duration wait{};
    for (int i = 0; i < 6; ++i) {
        const std::string account = "guess" + std::to_string(i % 3);
        ASSERT_EQ(throttle.check("a", account, t0 + seconds(i), &wait), Verdict::Allowed) << i;
        throttle.failed("a", account, t0 + seconds(i));
        throttle.succeeded("a", "owner");
    }
    EXPECT_EQ(throttle.check("a", "owner", t0 + seconds(10), &wait), Verdict::ShutOut);
    EXPECT_EQ(wait, seconds(50));
    EXPECT_EQ(throttle.check("b", "owner", t0 + seconds(10), &wait), Verdict::Allowed);
    EXPECT_EQ(throttle.check("a", "owner", t0 + seconds(60), &wait), Verdict::Allowed);
}

// Many source addresses must not wipe the record of one that is shut out:
// only one still counting makes room, and while every entry remembered is
// shut out, new ones are refused unchecked until a window passes.
TEST(LoginThrottleTest, AFullTableNeverForgetsAnEntryThatIsShutOut) {
    LoginThrottle small(2, 100, seconds(60), 2);
    LoginThrottle::Clock::duration wait{};
    small.failed("x", "u", t0);
    small.failed("x", "u", t0);
    small.failed("y", "u", t0 + seconds(1));
    small.failed("z", "u", t0 + seconds(2));  // makes room by forgetting y, which was counting
    EXPECT_EQ(small.check("x", "u", t0 + seconds(3), &wait), Verdict::ShutOut);
    small.failed("z", "u", t0 + seconds(3));
    EXPECT_EQ(small.check("z", "u", t0 + seconds(3), &wait), Verdict::ShutOut);
    for (const char* attacker : {"y", "w", "v"}) {
        EXPECT_EQ(small.check(attacker, "u", t0 + seconds(4), &wait), Verdict::Full) << attacker;
        EXPECT_EQ(wait, seconds(56)) << "until x's window passes";
        small.failed(attacker, "u", t0 + seconds(4));
    }
    EXPECT_EQ(small.check("x", "u", t0 + seconds(59), &wait), Verdict::ShutOut);
    EXPECT_EQ(small.check("w", "u", t0 + seconds(60), &wait), Verdict::Allowed) << "x's window has passed";
}
