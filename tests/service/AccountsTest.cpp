#include <gtest/gtest.h>

#include "Accounts.h"
#include "LoginThrottle.h"

using namespace backupservice;

TEST(AccountsTest, ConstantTimeEqualsCompares) {
    EXPECT_TRUE(constantTimeEquals("", ""));
    EXPECT_TRUE(constantTimeEquals("secret", "secret"));
    EXPECT_FALSE(constantTimeEquals("secret", "secreT"));
    EXPECT_FALSE(constantTimeEquals("secret", "secret!"));
    EXPECT_FALSE(constantTimeEquals("secret", "secre"));
    EXPECT_FALSE(constantTimeEquals("secret", ""));
    // A guess padded with NUL bytes must not pass for a shorter password.
    EXPECT_FALSE(constantTimeEquals("ab", std::string("ab\0", 3)));
    EXPECT_TRUE(constantTimeEquals(std::string("a\0b", 3), std::string("a\0b", 3)));
}

TEST(AccountsTest, VerifiesEachAccountWithItsOwnPassword) {
    const AccountBook book(std::vector<Account>{{"user@example.com", "secret"}, {"other@example.org", "p:w d"}});
    EXPECT_TRUE(book.verify("user@example.com", "secret"));
    EXPECT_TRUE(book.verify("USER@Example.COM", "secret"));
    EXPECT_TRUE(book.verify("other@example.org", "p:w d"));
    EXPECT_FALSE(book.verify("user@example.com", "p:w d"));
    EXPECT_FALSE(book.verify("user@example.com", "SECRET"));
    EXPECT_FALSE(book.verify("user@example.com", ""));
    EXPECT_FALSE(book.verify("nobody@example.com", "secret"));
    EXPECT_FALSE(book.verify("", ""));
}

TEST(AccountsTest, UnknownAddressWithPlaceholderPasswordFails) {
    // Unknown addresses are compared against an internal placeholder; no
    // guess may match it.
    const AccountBook book(std::vector<Account>{{"user@example.com", "secret"}});
    EXPECT_FALSE(book.verify("nobody@example.com", std::string(32, '\0')));
    EXPECT_FALSE(book.verify("nobody@example.com", ""));
}

TEST(LoginThrottleTest, ShutsOutAnAddressUntilTheWindowOfItsFirstFailureHasPassed) {
    using std::chrono::seconds;
    LoginThrottle throttle(3, seconds(60), 2);
    const LoginThrottle::Clock::time_point t0{std::chrono::hours(1)};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(throttle.mayTry("a", t0 + seconds(i)));
        throttle.failed("a", t0 + seconds(i));
    }
    EXPECT_FALSE(throttle.mayTry("a", t0 + seconds(59)));
    EXPECT_TRUE(throttle.mayTry("b", t0 + seconds(59))) << "addresses are counted apart";
    EXPECT_TRUE(throttle.mayTry("a", t0 + seconds(60)));
    throttle.failed("a", t0 + seconds(61));
    EXPECT_TRUE(throttle.mayTry("a", t0 + seconds(62))) << "a new window starts afresh";

    throttle.failed("b", t0);
    throttle.failed("b", t0);
    throttle.succeeded("b");
    throttle.failed("b", t0);
    EXPECT_TRUE(throttle.mayTry("b", t0)) << "a good login clears the failures";

    // Only two addresses are remembered: a third forgets the one whose
    // window began first.
    LoginThrottle small(1, seconds(60), 2);
    small.failed("x", t0);
    small.failed("y", t0 + seconds(1));
    EXPECT_FALSE(small.mayTry("x", t0 + seconds(2)));
    small.failed("z", t0 + seconds(2));
    EXPECT_TRUE(small.mayTry("x", t0 + seconds(3)));
    EXPECT_FALSE(small.mayTry("y", t0 + seconds(3)));
    EXPECT_FALSE(small.mayTry("z", t0 + seconds(3)));
}
