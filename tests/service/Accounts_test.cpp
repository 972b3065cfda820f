#include <gtest/gtest.h>

#include "Accounts.h"

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
