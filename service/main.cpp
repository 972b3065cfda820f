// BackupService: serves consistent snapshots of a live SQLite database to
// backup clients over HTTP. See --help.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <pthread.h>

#include "HttpServer.h"
#include "Options.h"
#include "RequestLog.h"
#include "Snapshot.h"

using namespace backupservice;

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// Blocks the stop signals in this thread and, through inheritance, in every
// thread libmicrohttpd starts later, so they can be taken with sigwait().
sigset_t blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = argc > 0 ? argv[0] : "BackupService";
    const ParseResult parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::fprintf(stderr, "BackupService: %s\n\n%s", parsed.error.c_str(),
                     usageText(program).c_str());
        return kExitUsage;
    }
    Options options = parsed.options;
    if (options.showHelp) {
        std::fputs(usageText(program).c_str(), stdout);
        return 0;
    }
    if (!options.accountsFile.empty()) {
        std::string error;
        if (!loadAccountsFile(options.accountsFile, options.accounts, error)) {
            std::fprintf(stderr, "BackupService: %s\n", error.c_str());
            return kExitFailure;
        }
    }
    if (options.accountOnCommandLine) {
        std::fputs("BackupService: warning: every local user can see the passwords given with "
                   "--account (ps shows the command line); use --accounts-file instead\n",
                   stderr);
    }

    // A client that goes away mid-download must not kill the service.
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t stopSignals = blockStopSignals();

    try {
        checkDatabaseReadable(options.database);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: %s\n", error.what());
        return kExitFailure;
    }

    if (!isLoopback(options.listen)) {
        std::fprintf(stderr,
                     "BackupService: warning: listening on non-loopback address %s; "
                     "passwords and data travel unencrypted\n",
                     options.listen.host.c_str());
    }

    RequestLog log(stdout);
    ServiceConfig config{options.listen, options.database, defaultSnapshotDirectory(),
                         options.accounts};
    HttpServer server(config, log);
    try {
        server.start();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: %s\n", error.what());
        return kExitFailure;
    }

    ListenAddress bound = options.listen;
    bound.port = server.port();
    log.open("listening on " + bound.text());

    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
    server.stop();
    std::fprintf(stdout, "stopped (%s)\n", received == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    return 0;
}
