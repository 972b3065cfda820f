#include "Accounts.h"

#include <algorithm>
#include <cctype>

namespace backupservice {

namespace {

// Stands in for the password of an unknown address.
const std::string kNoPassword(32, '\0');

}  // namespace

bool sameEmailAddress(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    // Walk the longer length; missing bytes read as zero and a length
    // mismatch is folded into the result, so there is no early exit.
    const size_t length = std::max(a.size(), b.size());
    unsigned int difference = (a.size() == b.size()) ? 0u : 1u;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference |= static_cast<unsigned int>(x ^ y);
    }
    // Read through a volatile so the compiler keeps the whole loop.
    volatile unsigned int result = difference;
    return result == 0;
}

AccountBook::AccountBook(std::vector<Account> accounts) : accounts_(std::move(accounts)) {}

bool AccountBook::verify(std::string_view email, std::string_view password) const {
    const Account* found = nullptr;
    for (const Account& account : accounts_) {
        if (sameEmailAddress(account.email, email)) found = &account;
    }
    const std::string_view expected = found ? std::string_view(found->password) : std::string_view(kNoPassword);
    const bool match = constantTimeEquals(expected, password);
    return found != nullptr && match;
}

}  // namespace backupservice
