#include "Options.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "Limits.h"

namespace backupservice {

namespace {

// *port is written only on success.
Status parsePort(const std::string& text, uint16_t* port) {
    const Status invalid = Status::error("'" + text + "' is not a port number (0-65535)");
    if (text.empty() || text.size() > 5) return invalid;
    unsigned long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return invalid;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > 65535) return invalid;
    *port = static_cast<uint16_t>(value);
    return Status();
}

// Splits "EMAIL:PASSWORD" at the first colon; the password may contain
// colons. `source` names where the text came from in the message, which
// never repeats the password.
Status parseAccount(const std::string& text, const std::string& source, Account* out) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return Status::error(source + " needs EMAIL:PASSWORD");
    out->email = text.substr(0, colon);
    out->password = text.substr(colon + 1);
    if (out->email.empty()) return Status::error(source + " has an empty e-mail address");
    if (out->password.empty()) return Status::error(source + " " + out->email + " has an empty password");
    return Status();
}

Status addAccount(std::vector<Account>* accounts, Account account, const std::string& source) {
    for (const Account& existing : *accounts) {
        if (sameEmailAddress(existing.email, account.email)) {
            return Status::error(source + ": " + account.email + " given more than once");
        }
    }
    accounts->push_back(std::move(account));
    return Status();
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned int>(mode & 07777));
    return text;
}

}  // namespace

std::string ListenAddress::text() const { return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port); }

Status parseListenAddress(const std::string& text, ListenAddress* out) {
    const std::string option = "--listen " + text;
    std::string host;
    std::string port;
    ListenAddress result;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            return Status::error(option + ": expected [IPV6-ADDRESS]:PORT");
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
        result.ipv6 = true;
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return Status::error(option + ": expected ADDRESS:PORT");
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (host == "localhost") host = "127.0.0.1";
    }
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(result.ipv6 ? AF_INET6 : AF_INET, host.c_str(), buffer) != 1) {
        return Status::error(option + ": '" + host + "' is not a numeric " + (result.ipv6 ? "IPv6" : "IPv4") +
                             " address");
    }
    const Status portRead = parsePort(port, &result.port);
    if (!portRead.ok()) return portRead.withContext(option);
    result.host = host;
    *out = result;
    return Status();
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

namespace {

// Options that take a value; every other argument but --help and --version
// is unknown.
const char* const kValueOptions[] = {"--listen",   "--database",     "--account",    "--accounts-file",
                                     "--tls-cert", "--tls-key",      "--stop-grace", "--stall-timeout",
                                     "--verify",   "--trusted-proxy"};

bool takesValue(const std::string& name) {
    for (const char* known : kValueOptions) {
        if (name == known) return true;
    }
    return false;
}

// Whole seconds from `minimum` to kMaxOptionSeconds; *out is written only
// on success.
Status parseSeconds(const std::string& name, const std::string& text, unsigned int minimum, unsigned int* out) {
    unsigned long value = 0;
    bool ok = !text.empty() && text.size() <= 6;
    for (char c : text) {
        ok = ok && c >= '0' && c <= '9';
        if (ok) value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (!ok || value < minimum || value > kMaxOptionSeconds) {
        return Status::error(name + " " + text + ": expected whole seconds from " + std::to_string(minimum) + " to " +
                             std::to_string(kMaxOptionSeconds));
    }
    *out = static_cast<unsigned int>(value);
    return Status();
}

// A path option given at most once and never empty.
Status setPath(const std::string& name, const std::string& value, std::string* out) {
    if (!out->empty()) return Status::error(name + " given more than once");
    if (value.empty()) return Status::error(name + " needs a path");
    *out = value;
    return Status();
}

Status applyAccount(const std::string& value, Options* options) {
    Account account;
    Status status = parseAccount(value, "--account", &account);
    if (status.ok()) status = addAccount(&options->accounts, std::move(account), "--account");
    if (status.ok()) options->accountOnCommandLine = true;
    return status;
}

Status applyOption(const std::string& name, const std::string& value, Options* options) {
    if (name == "--listen") {
        if (options->listenGiven) return Status::error("--listen given more than once");
        options->listenGiven = true;
        return parseListenAddress(value, &options->listen);
    }
    if (name == "--database") return setPath(name, value, &options->database);
    if (name == "--accounts-file") return setPath(name, value, &options->accountsFile);
    if (name == "--tls-cert") return setPath(name, value, &options->tlsCertificate);
    if (name == "--tls-key") return setPath(name, value, &options->tlsKey);
    if (name == "--stop-grace") return parseSeconds(name, value, 0, &options->stopGraceSeconds);
    if (name == "--stall-timeout") return parseSeconds(name, value, 1, &options->stallSeconds);
    if (name == "--trusted-proxy") {
        AddressRange range;
        const Status parsed = parseAddressRange(value, &range);
        if (parsed.ok()) options->trustedProxies.push_back(range);
        return parsed;
    }
    if (name == "--verify") {
        if (value != "quick" && value != "none") return Status::error("--verify " + value + ": expected quick or none");
        options->verify = value == "quick" ? Verify::Quick : Verify::None;
        return Status();
    }
    return applyAccount(value, options);
}

// What the options must say together.
Status checkCombination(const Options& options) {
    if (options.database.empty()) return Status::error("--database PATH is required");
    if (options.accounts.empty() && options.accountsFile.empty()) {
        return Status::error("--accounts-file PATH or at least one --account EMAIL:PASSWORD is required");
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        return Status::error("--tls-cert FILE and --tls-key FILE go together");
    }
    return Status();
}

}  // namespace

Status parseOptions(const std::vector<std::string>& args, Options* options) {
    Options parsed;
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
        if (name == "--help" || name == "-h" || name == "--version") {
            parsed.showHelp = name != "--version";
            parsed.showVersion = name == "--version";
            *options = std::move(parsed);
            return Status();
        }
        if (!takesValue(name)) return Status::error("unknown argument: " + args[i]);
        if (!hasValue) {
            if (i + 1 >= args.size()) return Status::error(name + " needs a value");
            value = args[++i];
        }
        const Status applied = applyOption(name, value, &parsed);
        if (!applied.ok()) return applied;
    }
    const Status combined = checkCombination(parsed);
    if (combined.ok()) *options = std::move(parsed);
    return combined;
}

namespace {

bool endsInWhiteSpace(const std::string& text) { return !text.empty() && (text.back() == ' ' || text.back() == '\t'); }

}  // namespace

Status refuseSharedFile(const std::string& source, const std::string& path, unsigned int mode,
                        const std::string& holds) {
    if (!(mode & (S_IRWXG | S_IRWXO))) return Status();
    return Status::error(source + ": other users can access it (mode " + octalMode(mode) + "); it holds " + holds +
                         ", so allow only its owner: chmod 600 " + path);
}

Status loadAccountsFile(const std::string& path, std::vector<Account>* accounts, std::vector<std::string>* warnings) {
    const std::string source = "--accounts-file " + path;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return Status::error(source + ": not a readable file");
    }
    const Status owned = refuseSharedFile(source, path, info.st_mode, "passwords");
    if (!owned.ok()) return owned;
    std::ifstream in(path);
    if (!in) return Status::error(source + ": cannot be read");
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        // Editors on some systems start a UTF-8 file with a byte-order mark.
        if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::string where = source + " line " + std::to_string(number);
        Account account;
        Status status = parseAccount(line, where, &account);
        if (status.ok() && endsInWhiteSpace(account.password)) {
            warnings->push_back(where + ": the password of " + account.email +
                                " ends in white space, which is part of the password");
        }
        if (status.ok()) status = addAccount(accounts, std::move(account), where);
        if (!status.ok()) return status;
    }
    if (accounts->empty()) return Status::error(source + ": no EMAIL:PASSWORD line in it");
    return Status();
}

std::string usageText(const std::string& programName) {
    const auto n = [](auto value) { return std::to_string(value); };
    return "Usage: " + programName +
           " [--listen ADDRESS:PORT] --database PATH\n"
           "       (--accounts-file PATH | --account EMAIL:PASSWORD...)\n"
           "       [--tls-cert FILE --tls-key FILE] [--stop-grace SECONDS]\n"
           "       [--stall-timeout SECONDS] [--verify quick|none]\n"
           "       [--trusted-proxy ADDRESS[/BITS]...]\n"
           "       " +
           programName +
           " --help | --version\n"
           "\n"
           "Serves consistent snapshots of a live SQLite database to backup clients.\n"
           "\n"
           "  --listen ADDRESS:PORT    address to listen on (default 127.0.0.1:0).\n"
           "                           ADDRESS is numeric IPv4, [IPv6] or localhost.\n"
           "                           PORT 0 picks a free port. The chosen address is\n"
           "                           always printed first as 'listening on ADDRESS:PORT'.\n"
           "                           Without TLS passwords travel unencrypted: name a\n"
           "                           non-loopback address only on a network you trust.\n"
           "  --database PATH          the SQLite database to back up, a regular file; it\n"
           "                           is only read, and may be written by other programs\n"
           "                           meanwhile, or replaced by renaming another file to\n"
           "                           its name.\n"
           "  --accounts-file PATH     the accounts allowed to download: one\n"
           "                           EMAIL:PASSWORD per line; blank lines and lines\n"
           "                           starting with # are skipped. Refused unless only\n"
           "                           its owner may read and write it (chmod 600). A\n"
           "                           password that ends in white space is warned of.\n"
           "  --account EMAIL:PASSWORD an account given on the command line; may be\n"
           "                           repeated. Every local user can read it with ps,\n"
           "                           so the service warns; prefer --accounts-file.\n"
           "                           The first colon ends the e-mail address. E-mail\n"
           "                           addresses match without regard to letter case.\n"
           "  --tls-cert FILE          serve HTTPS only (TLS 1.2 and 1.3), with the PEM\n"
           "  --tls-key FILE           certificate chain and private key in these files;\n"
           "                           the two go together. The service refuses to start\n"
           "                           when it cannot read them or has no TLS support,\n"
           "                           and unless only its owner may read and write the\n"
           "                           key (chmod 600). An expired, not yet valid or weak\n"
           "                           certificate is warned of. Works on IPv6 as well.\n"
           "  --stop-grace SECONDS     on SIGTERM, SIGINT or SIGHUP, stop accepting and\n"
           "                           give running downloads this long to finish, then\n"
           "                           cut them off (default " +
           n(kDefaultStopGraceSeconds) +
           "; 0 cuts at once).\n"
           "  --stall-timeout SECONDS  close a download that takes less than " +
           n(kStallBytes / 1024) +
           " KiB in\n"
           "                           that long (default " +
           n(kDefaultStallSeconds) +
           ").\n"
           "  --verify quick|none      check each copy with SQLite's quick_check before\n"
           "                           its last bytes go out, and cut a download whose\n"
           "                           copy fails it short (quick, the default), or not.\n"
           "  --trusted-proxy ADDRESS[/BITS]\n"
           "                           a reverse proxy (an IPv4 or IPv6 address, or a\n"
           "                           range such as 10.0.0.0/8); may be repeated. For a\n"
           "                           connection from it, the client is the last address\n"
           "                           of X-Forwarded-For that is no trusted proxy; the\n"
           "                           login throttle, the log and the limit of " +
           n(kConnectionsPerAddress) +
           " from\n"
           "                           one address use that address. The header of any\n"
           "                           other peer is ignored.\n"
           "  --help                   show this text.\n"
           "  --version                print the version and exit.\n"
           "\n"
           "Request: GET /as/wapi/retrieve_db?Email=EMAIL&Password=PASSWORD\n"
           "  known account:  200, application/octet-stream, the database snapshot\n"
           "  bad credentials: 403, <__Status__>FAILED</__Status__><__Reason__>...\n"
           "  no Email or no Password value: 400, the same tagged failure text\n"
           "  too many failed logins: 429, the same tagged failure text, Retry-After\n"
           "  database locked, service busy or past the connection limits: 503 'busy',\n"
           "                  the same, Retry-After: " +
           n(kBusyRetrySeconds) +
           "\n"
           "  another method than GET (HEAD too): 405, Allow: GET, the same text\n"
           "  a request that declares a body: 413, the same tagged failure text\n"
           "  a path with an encoded NUL byte: 400, the same tagged failure text\n"
           "  anything else:  404, the same tagged failure text\n"
           "  unreadable database: 500, the same tagged failure text\n"
           "\n"
           "Each download is a consistent snapshot of the database as its request found\n"
           "it, streamed while it is copied: the reply starts at once whatever the size\n"
           "of the database. The copy reads the database in one read transaction, so in\n"
           "rollback-journal mode writers wait until it is done. Requests share a copy\n"
           "under way when nothing has been committed since it began, and the path\n"
           "still names the same file. At most " +
           n(kMaxSnapshotFiles) +
           " copies exist at once, each a\n"
           "file as large as the database in $TMPDIR (default /tmp); its name is\n"
           "removed when the copy ends, its data when the last download of it ends;\n"
           "files left by a service that was killed are removed at the next start.\n"
           "Requests that arrive while all are in use share the next one. A download\n"
           "that cannot start within " +
           n(kAnswerSeconds) +
           " s (a writer holds the database locked, or all\n"
           "copies are in use) gets a 'busy' reply.\n"
           "\n"
           "Limits: " +
           n(kConnectionLimit) + " connections served, " + n(kConnectionsPerAddress) +
           " from one address; past those, " + n(kBusyConnections) +
           "\n"
           "more get 503 'busy' and the rest are closed at once. A connection must send\n"
           "its request line (over HTTPS: finish the TLS handshake) within " +
           n(kHandshakeSeconds) +
           " s, and its\n"
           "whole request within " +
           n(kRequestSeconds) + " s. An address may hold " + n(kUnfinishedPerAddress) +
           " connections that have gone\n"
           "without their whole request for over " +
           n(kUnfinishedGraceSeconds) +
           " s; a new one from it closes the oldest,\n"
           "and when every connection is taken, a new one closes the oldest such of\n"
           "any address. These count the connecting address when it connects. A trusted\n"
           "proxy is held to the " +
           n(kConnectionLimit) + " in all, not to the " + n(kConnectionsPerAddress) +
           " of one address; each client\n"
           "behind it may have " +
           n(kConnectionsPerAddress) +
           " requests in progress, once their headers name it.\n"
           "After " +
           n(kMaxLoginFailures) + " failed logins with one account within " + n(kLoginWindowSeconds) +
           " s, an address\n"
           "is refused that account ('too many attempts') until that time is over, and\n"
           "every account after " +
           n(kMaxAddressLoginFailures) +
           " failed logins with any; while every one remembered\n"
           "is shut out, new ones are refused too.\n"
           "\n"
           "One line per request is logged to standard output: time, client, method,\n"
           "path, status, bytes sent, account (- if none), seconds taken, pages of a\n"
           "download (- if none), then 'refused' for a refused login and 'incomplete'\n"
           "for a reply cut short; passwords never are. A connection closed without a\n"
           "request is logged as 'TIME ADDRESS CAUSE' (tls-handshake-failed,\n"
           "connection-limit, request-timeout), at most one line per address and cause\n"
           "every " +
           n(kConnectionEventSeconds) +
           " s. The HTTP and TLS library's messages go to standard error with\n"
           "the time and the address, at most one a second. SIGTERM, SIGINT or SIGHUP\n"
           "stops the service (see --stop-grace); a second one cuts running downloads\n"
           "at once.\n";
}

std::string versionText() { return std::string("BackupService ") + BACKUPSERVICE_VERSION + "\n"; }

}  // namespace backupservice
