# shellcheck shell=dash disable=SC2034 # the variables are read by the scripts that source this
# Shared by the project's scripts (sourced, never run): their messages,
# installing missing Debian packages, the build's job count, starting
# and stopping BackupService on a free loopback port, Dorvane's round trip
# (configure, download, check the backup), and a private Wine prefix for
# the Windows programs.
#
#   . "$root/scripts/lib.sh"
#
# Plain sh (with `local`, which dash and bash both have), so that sh and
# bash scripts can both source it.

# --- Messages ----------------------------------------------------------------

# say TEXT...: a progress line on standard output.
say() { printf '==> %s\n' "$*"; }

# fail TEXT...: the reason on standard error, then exit 1.
fail() {
    printf 'FAILED: %s\n' "$*" >&2
    exit 1
}

# whole_numbers NAME LOW HIGH VALUE...: fails unless every VALUE is a whole
# number from LOW to HIGH; NAME says which setting it is.
whole_numbers() {
    local name="$1" low="$2" high="$3" value
    shift 3
    for value in "$@"; do
        case "$value" in ''|*[!0-9]*) fail "$name must be whole numbers, not '$value'" ;; esac
        if [ "$value" -lt "$low" ] || [ "$value" -gt "$high" ]; then fail "$name must be $low..$high, not $value"; fi
    done
}

# --- Packages ------------------------------------------------------------------

# The packages every build and test needs: the compiler and CMake, GoogleTest,
# OpenSSL (the client's TLS, and the openssl command that makes
# certificates), Python with its cryptography module (the tests' TLS peer),
# and what BackupService builds on (pkgconf finds libmicrohttpd).
DORVANE_BASE_PACKAGES="cmake g++ make libgtest-dev libssl-dev openssl python3 python3-cryptography curl
    libmicrohttpd-dev pkgconf libsqlite3-dev sqlite3"

# as_root COMMAND...: runs the command as root: directly when this is root,
# else through sudo. Fails when neither is possible.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    else
        command -v sudo >/dev/null 2>&1 || fail "need root or sudo to run: $*"
        sudo "$@"
    fi
}

# ensure_packages PACKAGE...: installs the Debian packages that are not
# installed yet (apt-get update first), as root or through sudo. Checked
# with dpkg first, so a machine that has them all is not sent to the
# package archive. Fails when something is missing and cannot be installed.
ensure_packages() {
    local package missing=""
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
    done
    [ -n "$missing" ] || return 0
    say "installing:$missing"
    as_root apt-get update -qq || fail "apt-get update failed"
    # shellcheck disable=SC2086 # the list is meant to split into words
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
        fail "could not install:$missing"
}

# --- Building ------------------------------------------------------------------

# The job count of builds and test runs: DORVANE_JOBS when set, else the
# number of processors.
build_jobs=${DORVANE_JOBS:-$(nproc 2>/dev/null || echo 2)}

# --- Certificates --------------------------------------------------------------

# make_tls_certificates DIR: a private CA (DIR/ca.pem) and a certificate for
# localhost signed by it (DIR/localhost.pem, key DIR/localhost.key, mode
# 0600), made with the openssl command, as a site with its own CA sets up a
# service. Valid for two days.
make_tls_certificates() {
    local dir=$1
    (
        umask 077
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 \
            -subj "/CN=Dorvane example CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null &&
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
                -keyout "$dir/localhost.key" -out "$dir/localhost.csr" 2>/dev/null &&
            printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >"$dir/localhost.ext" &&
            openssl x509 -req -in "$dir/localhost.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
                -days 2 -extfile "$dir/localhost.ext" -out "$dir/localhost.pem" 2>/dev/null
    ) || fail "openssl could not make the certificates in $dir"
}

# --- BackupService -----------------------------------------------------------

service_pid=
service_status=

# start_backup_service SERVICE LOG_DIR ARGUMENT...: starts SERVICE with
# --listen 127.0.0.1:0 and the arguments, its output in LOG_DIR/service.log
# and LOG_DIR/service.err, and waits up to 30 s for its "listening on" line.
# Sets service_pid and port; fails when the service stops or does not say
# where it listens.
start_backup_service() {
    local service="$1" log_dir="$2" line=
    shift 2
    : >"$log_dir/service.log"
    "$service" --listen 127.0.0.1:0 "$@" >"$log_dir/service.log" 2>"$log_dir/service.err" &
    service_pid=$!
    for _ in $(seq 300); do
        line=$(head -n 1 "$log_dir/service.log" 2>/dev/null || true)
        case $line in "listening on "*) break ;; esac
        kill -0 "$service_pid" 2>/dev/null || fail "BackupService stopped: $(cat "$log_dir/service.err")"
        sleep 0.1
    done
    case $line in
        "listening on 127.0.0.1:"*) port=${line##*:} ;;
        *) fail "BackupService did not start (log: $log_dir/service.log)" ;;
    esac
}

# stop_backup_service: asks the service started last to stop (SIGTERM) and
# waits for it; its exit status is then in service_status. Does nothing
# when no service runs, so it can stand in an EXIT trap.
stop_backup_service() {
    [ -n "$service_pid" ] || return 0
    kill "$service_pid" 2>/dev/null || true
    service_status=0
    wait "$service_pid" 2>/dev/null || service_status=$?
    service_pid=
}

# --- Dorvane's round trip ------------------------------------------------------

# dorvane_in DIR ARGUMENT...: runs $dorvane (the sourcing script sets it)
# in DIR as a user would, with TMPDIR=DIR (its log, Dorvane.txt, goes
# there), standard output in DIR/out.txt and standard error in DIR/err.txt,
# for at most $dorvane_timeout seconds (default 300). $dorvane_launcher,
# when set, is put before the program (split into words: valgrind and its
# options, say). Returns Dorvane's exit code.
dorvane_in() {
    local dir="$1" program="${dorvane:?names the Dorvane program}"
    shift
    # shellcheck disable=SC2086 # the launcher is meant to split into words
    (cd "$dir" && TMPDIR="$dir" timeout "${dorvane_timeout:-300}" ${dorvane_launcher:-} "$program" "$@" \
        >"$dir/out.txt" 2>"$dir/err.txt")
}

# dorvane_configure DIR URL EMAIL PASSWORD: writes DIR/Ostrel.cfg with
# Dorvane's configuration mode; fails unless Dorvane exits 0, confirms it
# and the file is there.
dorvane_configure() {
    local dir="$1" code=0
    dorvane_in "$@" || code=$?
    [ "$code" -eq 0 ] || fail "Dorvane's configuration mode exited with $code: $(cat "$dir/out.txt" "$dir/err.txt")"
    grep -qF "The configuration file, Ostrel.cfg, is created." "$dir/out.txt" "$dir/err.txt" ||
        fail "Dorvane did not confirm the configuration: $(cat "$dir/out.txt" "$dir/err.txt")"
    [ -f "$dir/Ostrel.cfg" ] || fail "no Ostrel.cfg written in $dir"
}

# saved_backup DIR: sets backup to the path of the one
# Database.YYYYMMDDhhmmss.db that Dorvane saved in DIR; fails when there is
# none, more than one, or its name is another.
saved_backup() {
    local dir="$1" saved
    saved=$(cd "$dir" && ls Database.*.db 2>/dev/null || true)
    [ -n "$saved" ] || fail "no Database.*.db saved in $dir: $(cat "$dir/out.txt" "$dir/Dorvane.txt" 2>/dev/null)"
    [ "$(echo "$saved" | wc -l)" -eq 1 ] || fail "more than one database saved in $dir: $saved"
    echo "$saved" | grep -Eq '^Database\.[0-9]{14}\.db$' || fail "unexpected file name $saved"
    backup="$dir/$saved"
}

# check_backup FILE [ROWS]: fails unless FILE passes SQLite's
# integrity_check and, with ROWS, its customers table (scripts/make-example-db.sh)
# holds ROWS rows.
check_backup() {
    local file="$1" integrity count
    integrity=$(sqlite3 "$file" "PRAGMA integrity_check;")
    [ "$integrity" = ok ] || fail "integrity_check of $file: $integrity"
    if [ $# -ge 2 ]; then
        count=$(sqlite3 "$file" "SELECT count(*) FROM customers;")
        [ "$count" = "$2" ] || fail "$file has $count rows, expected $2"
    fi
}

# dorvane_download DIR [ROWS]: downloads with the configuration in DIR;
# fails unless Dorvane exits 0 having saved one backup (saved_backup) that
# check_backup passes. Sets backup to its path.
dorvane_download() {
    local dir="$1" code=0
    shift
    dorvane_in "$dir" || code=$?
    [ "$code" -eq 0 ] || fail "the download exited with $code: $(cat "$dir/out.txt" "$dir/err.txt")"
    saved_backup "$dir"
    check_backup "$backup" "$@"
}

# offer_full_file_system DIR: mounts a 1 MiB tmpfs on DIR (which must exist)
# for the tests of a disk that fills up, and exports its path as
# DORVANE_FULL_FS. Mounting needs root; without it nothing is exported and
# those tests say so and skip. Undo with withdraw_full_file_system DIR.
offer_full_file_system() {
    unset DORVANE_FULL_FS
    mount -t tmpfs -o size=1m dorvane-full "$1" 2>/dev/null || return 0
    DORVANE_FULL_FS=$1
    export DORVANE_FULL_FS
    say "a full file system for the tests: $1"
}

withdraw_full_file_system() {
    umount "$1" 2>/dev/null || true
    unset DORVANE_FULL_FS
}

# --- Wine ----------------------------------------------------------------------

# find_wine: sets and exports DORVANE_WINE, the 64-bit Wine loader that the
# runner written by cmake/mingw-w64-x86_64.cmake uses, and sets WINESERVER.
# Debian's wineserver wrapper always asks for a server that quits with its
# last client; WINESERVER is the binary itself, so that -p can keep it up.
find_wine() {
    if command -v wine64 >/dev/null 2>&1; then
        DORVANE_WINE=$(command -v wine64)
    else
        DORVANE_WINE=/usr/lib/wine/wine64
    fi
    export DORVANE_WINE
    if [ -x /usr/lib/wine/wineserver64 ]; then
        WINESERVER=/usr/lib/wine/wineserver64
    else
        WINESERVER=$(command -v wineserver)
    fi
}

# start_private_wine RUNNER: creates a Wine prefix private to this run in the
# temporary directory and exports it as DORVANE_WINEPREFIX, which RUNNER
# (the build's dorvane-wine-run.sh) uses. Setting up a prefix takes
# seconds: it is done once here, and one persistent wineserver spares every
# program run later the server's start-up. Undo with stop_private_wine.
start_private_wine() {
    find_wine
    DORVANE_WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-wine.XXXXXX")
    export DORVANE_WINEPREFIX
    say "preparing Wine prefix $DORVANE_WINEPREFIX"
    WINEPREFIX="$DORVANE_WINEPREFIX" WINEDEBUG=-all "$WINESERVER" -p
    /bin/sh "$1" wineboot -i 2>/dev/null
}

# stop_private_wine: stops the wineserver of the prefix start_private_wine
# made, waits for it, and removes the prefix. Does nothing when there is
# none, so it can stand in an EXIT trap.
stop_private_wine() {
    [ -n "${DORVANE_WINEPREFIX:-}" ] || return 0
    WINEPREFIX="$DORVANE_WINEPREFIX" "$WINESERVER" -k >/dev/null 2>&1 || true
    WINEPREFIX="$DORVANE_WINEPREFIX" "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$DORVANE_WINEPREFIX"
    DORVANE_WINEPREFIX=
}

# windows_path PATH: prints the Unix PATH as Wine names it on drive Z:.
windows_path() {
    printf 'Z:%s' "$1" | tr / '\\'
}
