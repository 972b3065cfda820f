// BackupService: serves consistent snapshots of a live SQLite database to
// backup clients over HTTP or HTTPS. See --help.
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>

#include "Database.h"
#include "HttpServer.h"
#include "Options.h"
#include "RequestLog.h"
#include "Snapshot.h"
#include "TlsCertificate.h"

using namespace backupservice;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
// How often the wait for running downloads looks at them.
constexpr long kDrainPollNanoseconds = 100 * 1000 * 1000;

// Blocks the stop signals in this thread and, through inheritance, in every
// thread libmicrohttpd starts later, so they can be taken with sigwait().
// Until then they keep their default action, which ends a start-up that
// hangs.
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "SIGTERM";
    }
}

// Reads a whole regular file into *text; fails when it cannot be read or
// is empty.
Status readFile(const std::string& option, const std::string& path, std::string* text) {
    struct stat info {};
    errno = 0;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream content;
        if (in && content << in.rdbuf()) *text = content.str();
        if (!text->empty()) return Status();
    }
    return Status::error(option + " " + path + ": cannot be read, or is empty" +
                         (errno ? std::string(" (") + std::strerror(errno) + ")" : std::string()));
}

// Reads the certificate and key when TLS is asked for, and warns of a
// certificate that clients will refuse. Refuses a key that others may read.
Status loadTls(const Options& options, ServiceConfig* config) {
    if (options.tlsCertificate.empty()) return Status();
    if (!HttpServer::supportsTls()) {
        return Status::error("--tls-cert: this libmicrohttpd was built without TLS support");
    }
    const Status certificate = readFile("--tls-cert", options.tlsCertificate, &config->tlsCertificate);
    if (!certificate.ok()) return certificate;
    struct stat key {};
    if (::stat(options.tlsKey.c_str(), &key) == 0 && S_ISREG(key.st_mode)) {
        const Status owned =
            refuseSharedFile("--tls-key " + options.tlsKey, options.tlsKey, key.st_mode, "the service's private key");
        if (!owned.ok()) return owned;
    }
    for (const std::string& warning : certificateWarnings(config->tlsCertificate, std::time(nullptr))) {
        std::fprintf(stderr, "BackupService: warning: --tls-cert %s: %s\n", options.tlsCertificate.c_str(),
                     warning.c_str());
    }
    return readFile("--tls-key", options.tlsKey, &config->tlsKey);
}

Status loadAccounts(Options* options) {
    if (options->accountsFile.empty()) return Status();
    std::vector<std::string> warnings;
    const Status loaded = loadAccountsFile(options->accountsFile, &options->accounts, &warnings);
    if (!loaded.ok()) return loaded;
    for (const std::string& warning : warnings) std::fprintf(stderr, "BackupService: warning: %s\n", warning.c_str());
    return Status();
}

// Everything before the server starts, its warnings printed; fails with
// the reason not to start.
Status prepare(Options& options, ServiceConfig* config) {
    Status status = loadAccounts(&options);
    if (!status.ok()) return status;
    if (options.accountOnCommandLine) {
        std::fputs(
            "BackupService: warning: every local user can see the passwords given with "
            "--account (ps shows the command line); use --accounts-file instead\n",
            stderr);
    }
    *config = ServiceConfig{options.listen,
                            options.database,
                            defaultSnapshotDirectory(),
                            options.accounts,
                            options.stallSeconds,
                            options.verify == Verify::Quick,
                            {},
                            {},
                            TrustedProxies(options.trustedProxies)};
    status = loadTls(options, config);
    if (status.ok()) status = checkDatabaseReadable(options.database);
    if (!status.ok()) return status;
    const size_t stale = removeStaleSnapshotFiles(config->snapshotDirectory);
    if (stale > 0) {
        std::fprintf(stderr,
                     "BackupService: removed %zu snapshot file(s) left in %s by stopped "
                     "services\n",
                     stale, config->snapshotDirectory.c_str());
    }
    if (options.tlsCertificate.empty() && !isLoopback(options.listen)) {
        std::fprintf(stderr,
                     "BackupService: warning: listening on non-loopback address %s; "
                     "passwords and data travel unencrypted\n",
                     options.listen.host.c_str());
    }
    return Status();
}

// Waits until every connection has ended, `graceSeconds` have passed, or
// another stop signal comes. Returns the connections still open.
unsigned int drain(const HttpServer& server, const sigset_t& signals, unsigned int graceSeconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(graceSeconds);
    const timespec poll{0, kDrainPollNanoseconds};
    while (server.openConnections() > 0 && std::chrono::steady_clock::now() < end) {
        if (sigtimedwait(&signals, nullptr, &poll) > 0) break;  // stop now
    }
    return server.openConnections();
}

// Serves until a stop signal comes; returns the exit code.
int serve(const Options& options, const ServiceConfig& config) {
    const sigset_t stopSignals = blockStopSignals();
    RequestLog log(stdout);
    HttpServer server(config, log);
    const Status started = server.start();
    if (!started.ok()) {
        std::fprintf(stderr, "BackupService: %s\n", started.message().c_str());
        return kExitFailure;
    }
    ListenAddress bound = options.listen;
    bound.port = server.port();
    log.open("listening on " + bound.text());

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {}
    server.stopAccepting();
    const unsigned int cut = drain(server, stopSignals, options.stopGraceSeconds);
    if (cut > 0) {
        std::fprintf(stderr, "BackupService: stopping: cutting off %u connection(s) still open\n", cut);
    }
    server.stop();
    std::fprintf(stdout, "stopped (%s)\n", signalName(received));
    std::fflush(stdout);
    return 0;
}

int run(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "BackupService";
    Options options;
    const Status parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc), &options);
    if (!parsed.ok()) {
        std::fprintf(stderr, "BackupService: %s\n\n%s", parsed.message().c_str(), usageText(program).c_str());
        return kExitUsage;
    }
    if (options.showHelp || options.showVersion) {
        std::fputs(options.showHelp ? usageText(program).c_str() : versionText().c_str(), stdout);
        return 0;
    }
    // A client that goes away mid-download must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    ServiceConfig config;
    const Status prepared = prepare(options, &config);
    if (!prepared.ok()) {
        std::fprintf(stderr, "BackupService: %s\n", prepared.message().c_str());
        return kExitFailure;
    }
    return serve(options, config);
}

}  // namespace

// The main thread's body: nothing it throws goes further.
int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: %s\n", error.what());
        return kExitFailure;
    }
}
