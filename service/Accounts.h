// The accounts that may download the database, and how a request's
// credentials are checked against them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace backupservice {

struct Account {
    std::string email;
    std::string password;
};

// E-mail addresses match without regard to ASCII letter case.
bool sameEmailAddress(std::string_view a, std::string_view b);

// Compares every byte of both values, whatever their contents, so the time
// taken does not tell how many leading characters of a guess were right.
bool constantTimeEquals(std::string_view a, std::string_view b);

class AccountBook {
public:
    explicit AccountBook(std::vector<Account> accounts);

    // True when email names an account (letter case ignored) and password is
    // its password. An unknown address costs the same password comparison as
    // a known one, so response times do not reveal which addresses exist.
    bool verify(std::string_view email, std::string_view password) const;

private:
    std::vector<Account> accounts_;
};

}  // namespace backupservice
