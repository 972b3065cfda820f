#include "Options.h"

#include <arpa/inet.h>


namespace backupservice {

namespace {

bool parsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// Splits "EMAIL:PASSWORD" at the first colon; the password may contain colons.
bool parseAccount(const std::string& text, Account& out, std::string& error) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) {
        error = "--account needs EMAIL:PASSWORD";
        return false;
    }
    out.email = text.substr(0, colon);
    out.password = text.substr(colon + 1);
    if (out.email.empty()) {
        error = "--account has an empty e-mail address";
        return false;
    }
    if (out.password.empty()) {
        error = "--account " + out.email + " has an empty password";
        return false;
    }
    return true;
}

}  // namespace

std::string ListenAddress::text() const {
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool parseListenAddress(const std::string& text, ListenAddress& out, std::string& error) {
    std::string host;
    std::string port;
    ListenAddress result;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "--listen " + text + ": expected [IPV6-ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        result.ipv6 = true;
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = "--listen " + text + ": expected ADDRESS:PORT";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host == "localhost") host = "127.0.0.1";
    }
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(result.ipv6 ? AF_INET6 : AF_INET, host.c_str(), buffer) != 1) {
        error = "--listen " + text + ": '" + host + "' is not a numeric " +
                (result.ipv6 ? "IPv6" : "IPv4") + " address";
        return false;
    }
    if (!parsePort(port, result.port)) {
        error = "--listen " + text + ": '" + port + "' is not a port number (0-65535)";
        return false;
    }
    result.host = host;
    out = result;
    return true;
}

bool isLoopback(const ListenAddress& address) {
    if (address.ipv6) {
        in6_addr a{};
        return inet_pton(AF_INET6, address.host.c_str(), &a) == 1 && IN6_IS_ADDR_LOOPBACK(&a);
    }
    in_addr a{};
    if (inet_pton(AF_INET, address.host.c_str(), &a) != 1) return false;
    return (ntohl(a.s_addr) >> 24) == 127;
}

ParseResult parseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    bool databaseGiven = false;

    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        // Both "--name value" and "--name=value" are accepted.
        const auto equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }

        if (name == "--help" || name == "-h") {
            options.showHelp = true;
            result.ok = true;
            return result;
        }
        if (name != "--listen" && name != "--database" && name != "--account") {
            result.error = "unknown argument: " + args[i];
            return result;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return result;
            }
            value = args[++i];
        }

        if (name == "--listen") {
            if (options.listenGiven) {
                result.error = "--listen given more than once";
                return result;
            }
            if (!parseListenAddress(value, options.listen, result.error)) return result;
            options.listenGiven = true;
        } else if (name == "--database") {
            if (databaseGiven) {
                result.error = "--database given more than once";
                return result;
            }
            if (value.empty()) {
                result.error = "--database needs a path";
                return result;
            }
            options.database = value;
            databaseGiven = true;
        } else {
            Account account;
            if (!parseAccount(value, account, result.error)) return result;
            for (const Account& existing : options.accounts) {
                if (sameEmailAddress(existing.email, account.email)) {
                    result.error = "--account " + account.email + " given more than once";
                    return result;
                }
            }
            options.accounts.push_back(std::move(account));
        }
    }

    if (!databaseGiven) {
        result.error = "--database PATH is required";
        return result;
    }
    if (options.accounts.empty()) {
        result.error = "at least one --account EMAIL:PASSWORD is required";
        return result;
    }
    result.ok = true;
    return result;
}

std::string usageText(const std::string& programName) {
    return "Usage: " + programName +
           " [--listen ADDRESS:PORT] --database PATH --account EMAIL:PASSWORD...\n"
           "\n"
           "Serves consistent snapshots of a live SQLite database to backup clients.\n"
           "\n"
           "  --listen ADDRESS:PORT    address to listen on (default 127.0.0.1:0).\n"
           "                           ADDRESS is numeric IPv4, [IPv6] or localhost.\n"
           "                           PORT 0 picks a free port. The chosen address is\n"
           "                           always printed first as 'listening on ADDRESS:PORT'.\n"
           "                           Passwords travel unencrypted: name a non-loopback\n"
           "                           address only on a network you trust.\n"
           "  --database PATH          the SQLite database to back up; it is only read,\n"
           "                           and may be written by other programs meanwhile.\n"
           "  --account EMAIL:PASSWORD an account allowed to download; may be repeated.\n"
           "                           The first colon ends the e-mail address. E-mail\n"
           "                           addresses match without regard to letter case.\n"
           "  --help                   show this text.\n"
           "\n"
           "Request: GET /as/wapi/retrieve_db?Email=EMAIL&Password=PASSWORD\n"
           "  known account:  200, application/octet-stream, the database snapshot\n"
           "  bad credentials: 200, <__Status__>FAILED</__Status__><__Reason__>...\n"
           "  anything else:  404, the same tagged failure text\n"
           "  unreadable database: 500, the same tagged failure text\n"
           "\n"
           "Snapshots are built in $TMPDIR (default /tmp); each file's name is removed\n"
           "before it is sent, so nothing is left behind even if a download breaks off.\n"
           "One line per request is logged to standard output; passwords never are.\n"
           "SIGINT or SIGTERM stops the service.\n";
}

}  // namespace backupservice
