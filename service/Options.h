// Command-line options of BackupService.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Accounts.h"
#include "Limits.h"
#include "Status.h"
#include "TrustedProxies.h"

namespace backupservice {

struct ListenAddress {
    std::string host = "127.0.0.1";  // numeric address, without brackets
    uint16_t port = 0;               // 0 lets the system pick a free port
    bool ipv6 = false;

    // "127.0.0.1:8080" or "[::1]:8080"
    std::string text() const;
};

// What the copy of each snapshot is checked with before its last bytes go
// out (--verify).
enum class Verify { Quick, None };

struct Options {
    ListenAddress listen;
    bool listenGiven = false;
    std::string database;
    std::vector<Account> accounts;  // from --account
    bool accountOnCommandLine = false;
    std::string accountsFile;                                  // --accounts-file, read by loadAccountsFile()
    std::string tlsCertificate;                                // --tls-cert; given with --tls-key or not at all
    std::string tlsKey;                                        // --tls-key
    unsigned int stopGraceSeconds = kDefaultStopGraceSeconds;  // --stop-grace
    unsigned int stallSeconds = kDefaultStallSeconds;          // --stall-timeout
    Verify verify = Verify::Quick;                             // --verify
    std::vector<AddressRange> trustedProxies;                  // --trusted-proxy, any number
    bool showHelp = false;
    bool showVersion = false;
};

// Parses the arguments that follow the program name into *options, which
// is written only on success.
Status parseOptions(const std::vector<std::string>& args, Options* options);

// Adds the accounts of an accounts file to `accounts`: one EMAIL:PASSWORD per
// line (first colon splits), blank lines and lines starting with '#' skipped,
// a UTF-8 byte-order mark at the start and a trailing carriage return
// dropped. Refuses a file that group or others may read or write, a
// malformed line, an address given twice (also against the accounts already
// there) and a file without accounts; *accounts may then hold some of the
// file's accounts. Adds to *warnings one text per line whose password ends
// in white space, which is kept as written. Neither the failure's message
// nor a warning ever repeats a password.
Status loadAccountsFile(const std::string& path, std::vector<Account>* accounts, std::vector<std::string>* warnings);

// Fails when group or others may access a file of mode `mode`: its message
// names `source` and what the file `holds`, and the chmod that mends it.
Status refuseSharedFile(const std::string& source, const std::string& path, unsigned int mode,
                        const std::string& holds);

// Parses "ADDRESS:PORT" where ADDRESS is a numeric IPv4 address, a bracketed
// IPv6 address or "localhost"; *out is written only on success.
Status parseListenAddress(const std::string& text, ListenAddress* out);

// True for 127.0.0.0/8 and ::1.
bool isLoopback(const ListenAddress& address);

std::string usageText(const std::string& programName);
// "BackupService VERSION\n"
std::string versionText();

}  // namespace backupservice
