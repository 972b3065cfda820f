#include <gtest/gtest.h>

#include <chrono>

#include "LoginThrottle.h"

using namespace backupservice;

TEST(LoginThrottleTest, ShutsOutAnAddressUntilTheWindowOfItsFirstFailureHasPassed) {
    using std::chrono::seconds;
    using Verdict = LoginThrottle::Verdict;
    LoginThrottle throttle(3, seconds(60), 2);
    const LoginThrottle::Clock::time_point t0{std::chrono::hours(1)};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(throttle.check("a", t0 + seconds(i)), Verdict::Allowed);
        throttle.failed("a", t0 + seconds(i));
    }
    EXPECT_EQ(throttle.check("a", t0 + seconds(59)), Verdict::ShutOut);
    EXPECT_EQ(throttle.check("b", t0 + seconds(59)), Verdict::Allowed) << "counted apart";
    EXPECT_EQ(throttle.check("a", t0 + seconds(60)), Verdict::Allowed);
    throttle.failed("a", t0 + seconds(61));
    EXPECT_EQ(throttle.check("a", t0 + seconds(62)), Verdict::Allowed) << "a new window";

    throttle.failed("b", t0);
    throttle.failed("b", t0);
    throttle.succeeded("b");
    throttle.failed("b", t0);
    EXPECT_EQ(throttle.check("b", t0), Verdict::Allowed) << "a good login clears the failures";
}

// Many source addresses must not wipe the record of one that is shut out:
// only one still counting makes room, and while every address remembered is
// shut out, new addresses are refused unchecked until a window passes.
TEST(LoginThrottleTest, AFullTableNeverForgetsAnAddressThatIsShutOut) {
    using std::chrono::seconds;
    using Verdict = LoginThrottle::Verdict;
    LoginThrottle small(2, seconds(60), 2);
    const LoginThrottle::Clock::time_point t0{std::chrono::hours(1)};
    small.failed("x", t0);
    small.failed("x", t0);
    small.failed("y", t0 + seconds(1));
    small.failed("z", t0 + seconds(2));  // makes room by forgetting y, which was counting
    EXPECT_EQ(small.check("x", t0 + seconds(3)), Verdict::ShutOut);
    small.failed("z", t0 + seconds(3));
    EXPECT_EQ(small.check("z", t0 + seconds(3)), Verdict::ShutOut);
    for (const char* attacker : {"y", "w", "v"}) {
        EXPECT_EQ(small.check(attacker, t0 + seconds(4)), Verdict::Full) << attacker;
        small.failed(attacker, t0 + seconds(4));
    }
    EXPECT_EQ(small.check("x", t0 + seconds(59)), Verdict::ShutOut);
    EXPECT_EQ(small.check("w", t0 + seconds(60)), Verdict::Allowed) << "x's window has passed";
}
