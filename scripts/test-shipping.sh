#!/usr/bin/env bash
# Checks what is shipped, in the build directories of the Linux and the
# Windows build (build/ and build-windows/; configured and built here when
# test.sh and ci-windows.sh have not done so):
#   1. the manual pages pass groff's lint with every warning on;
#   2. the product carries no test code: the symbol tables of Dorvane and
#      Dorvane.exe name no function of the test seam or of the tests'
#      side of the platform;
#   3. cpack -G DEB makes a .deb on which lintian --pedantic reports no tag
#      at all (informational and experimental ones included), whose version
#      is the project's and the changelog's, that declares its libraries,
#      has the programs in /usr/bin and the manual pages in /usr/share/man,
#      and whose unpacked Dorvane runs (usage text, exit 2);
#   4. the .deb installs for real (apt-get install): the installed Dorvane
#      takes a backup from the installed BackupService, and man finds the
#      manual pages; apt-get purge then leaves the machine as it was, also
#      when a check fails;
#   5. cpack -G ZIP makes a zip with Dorvane.exe, the README and the
#      manual as text;
#   6. the msi target makes dorvane-VERSION-x64.msi, which installs under
#      Wine over an older version, puts the install folder on the system
#      PATH once, runs from a fresh directory through PATH alone, and
#      uninstalls without a trace;
#   7. the scheduling examples pass systemd-analyze verify and xmllint, and
#      their lines do what their comments say: the pruning keeps exactly
#      the newest backups and removes none when the newest is no database,
#      cron's mail, the journal, the healthcheck ping and the textfile.
# With the argument examples it checks 7 alone, with stand-ins for the
# programs.
# Exits non-zero at the first failed check; prints how long the checks took.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

started=$(date +%s)
# groff lints the manual pages and writes the manual as text; dpkg-dev has
# dpkg-shlibdeps, which CPack asks for the .deb's dependencies, and
# dpkg-parsechangelog; lintian checks the .deb and man-db finds the
# installed manual pages; wixl, wixl-data and msitools build and read the
# MSI, and Wine installs it; systemd and libxml2-utils check the examples.
# With the argument examples, only the scheduling examples are checked (7).
if [ "${1:-}" = examples ]; then
    ensure_packages systemd libxml2-utils sqlite3
else
    # shellcheck disable=SC2086 # the list is meant to split into words
    ensure_packages $DORVANE_BASE_PACKAGES groff-base dpkg-dev binutils lintian man-db \
        g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest \
        wixl wixl-data msitools wine64 systemd libxml2-utils
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-shipping.XXXXXX")

# Whatever a check leaves behind is undone here, also when it fails: the
# service, the installed .deb, the Wine prefix, the work directory.
# shellcheck disable=SC2317 # called through the trap
clean_up() {
    stop_backup_service
    [ -z "${deb_packages:-}" ] || purge_deb || true
    stop_private_wine
    rm -rf "$work"
}
trap clean_up EXIT
trap 'exit 1' INT TERM

# --- The scheduling examples (7), a function so that `test-shipping.sh
# examples` can run them alone.

# unit_command UNIT KEY: the shell command of each line KEY=... of UNIT,
# commented or not (/bin/sh -c '...'), one a line, with systemd's escapes
# undone ($$ is $, %% is %). The lines hold no other escape.
unit_command() {
    sed -n "s|^#\{0,1\}$2=-\{0,1\}/bin/sh -c '\(.*\)'\$|\1|p" "$1" | sed -e 's/\$\$/$/g' -e 's/%%/%/g'
}

# cron_command FILE N: the command of the Nth cron line of FILE (commented
# or not), without its time and user fields.
cron_command() {
    grep -E '^#?30 2 ' "$1" | sed -n "$2{s/^#\{0,1\}30 2 [*] [*] [*] dorvane //p}"
}

# fill_backups DIR NEWEST: 40 backups in DIR, each a copy of a real SQLite
# database, and other files a pruning must never touch; the newest backup
# is then NEWEST's bytes instead (empty: a database too).
fill_backups() {
    local dir=$1 name
    rm -rf "$dir" && mkdir "$dir"
    for name in "${backups[@]}"; do cp "$work/example.db" "$dir/$name"; done
    (cd "$dir" && touch "${others[@]}")
    [ -z "$2" ] || printf '%b' "$2" >"$dir/${backups[39]}"
}

# names_in DIR: the names in DIR, sorted, one a line.
# shellcheck disable=SC2012 # the names are the tests' own, without line ends
names_in() { (cd "$1" && ls -A | LC_ALL=C sort); }

# check_pruning EXAMPLE COMMAND: runs COMMAND (sh) on 40 backups: with a
# database as the newest the newest 30 stay and nothing else is touched;
# with a web page or a broken database as the newest nothing is removed,
# the command fails and says why on standard error.
check_pruning() {
    local example=$1 command=$2 newest code
    fill_backups "$work/prune" ""
    (cd "$work/prune" && sh -c "$command") || fail "$example: the pruning failed on 40 databases"
    [ "$(names_in "$work/prune")" = "$(printf '%s\n' "${backups[@]:10}" "${others[@]}" | LC_ALL=C sort)" ] ||
        fail "$example's pruning leaves: $(ls -A "$work/prune")"
    for newest in '<!DOCTYPE html>\n<html><body>Service unavailable</body></html>\n' \
        'SQLite format 3\0000 and then no database at all'; do
        fill_backups "$work/prune" "$newest"
        code=0
        (cd "$work/prune" && sh -c "$command") 2>"$work/prune.err" || code=$?
        [ "$code" -ne 0 ] || fail "$example's pruning succeeds when the newest backup is: $newest"
        [ "$(names_in "$work/prune")" = "$(printf '%s\n' "${backups[@]}" "${others[@]}" | LC_ALL=C sort)" ] ||
            fail "$example's pruning removed backups after a newest backup of: $newest"
        grep -qF "Nothing pruned: the newest backup, ${backups[39]}, is not an SQLite database" "$work/prune.err" ||
            fail "$example's pruning does not say why it removed nothing: $(cat "$work/prune.err")"
    done
}

# check_cron_line N: the Nth line of dorvane.cron, run by sh with a
# stand-in Dorvane: a failure's mail starts with the exit status on a line
# of its own, the reason on the next; a directory that cannot be entered
# is reported as such, without running Dorvane.
check_cron_line() {
    local command mail
    command=$(cron_command examples/dorvane.cron "$1")
    [ "${#command}" -lt 990 ] || fail "the cron line $1 is ${#command} bytes; cron takes at most 999"
    command=${command//\/usr\/bin\/Dorvane/$work/bin/Dorvane}
    fill_backups "$work/prune" ""
    mail=$(cd / && STAND_IN_STATUS=8 STAND_IN_OUTPUT='Invalid e-mail address or password' \
        sh -c "${command//\/var\/backups\/dorvane/$work/prune}" 2>&1) || true
    [ "$mail" = "Dorvane failed with exit status 8; see /var/log/dorvane/Dorvane.txt
Invalid e-mail address or password" ] || fail "the cron line $1 mails after a refusal: $mail"
    mail=$(cd / && STAND_IN_STATUS=0 sh -c "${command//\/var\/backups\/dorvane/$work/prune}" 2>&1) ||
        fail "the cron line $1 fails after a successful run: $mail"
    [ -z "$mail" ] || fail "the cron line $1 mails after a successful run: $mail"
    rm -f "$work/stand-in-ran"
    mail=$(cd / && STAND_IN_STATUS=0 sh -c "${command//\/var\/backups\/dorvane/$work/missing}" 2>&1) || true
    grep -qx "Dorvane did not run: cannot change to $work/missing" <<<"$mail" ||
        fail "the cron line $1 mails, when the directory is missing: $mail"
    [ ! -e "$work/stand-in-ran" ] || fail "the cron line $1 ran Dorvane outside its directory"
}

# check_stop_posts: the ExecStopPost= lines of dorvane-backup.service,
# run as systemd runs them after a run: the log goes to the journal after
# a failed run only; the healthcheck ping says /fail after a failed run;
# the textfile holds the exit status and the newest backup's time and
# size, and no staged file stays behind.
check_stop_posts() {
    local unit=examples/dorvane-backup.service log ping textfile output expected result
    log=$(unit_command $unit ExecStopPost | grep -F Dorvane.txt) || fail "$unit copies no log to the journal"
    ping=$(unit_command $unit ExecStopPost | grep -F hc-ping.com) || fail "$unit shows no healthcheck ping"
    textfile=$(unit_command $unit ExecStopPost | grep -F dorvane.prom) || fail "$unit writes no textfile"
    log=${log//\/var\/log\/dorvane/$work/logs}
    mkdir -p "$work/logs" "$work/textfile"
    printf 'the run log\n' >"$work/logs/Dorvane.txt"
    output=$(SERVICE_RESULT=success sh -c "$log") || fail "$unit: the log line fails after a successful run"
    [ -z "$output" ] || fail "$unit copies the log of a successful run: $output"
    output=$(SERVICE_RESULT=exit-code EXIT_STATUS=4 sh -c "$log") || true
    [ "$output" = "the run log" ] || fail "$unit does not copy a failed run's log: $output"
    for result in success exit-code; do
        rm -f "$work/curl-args"
        (PATH="$work/bin:$PATH" SERVICE_RESULT=$result sh -c "$ping") || fail "$unit: the ping fails ($result)"
        expected=https://hc-ping.com/your-check-uuid
        [ $result = success ] || expected=$expected/fail
        grep -qx -- "$expected" "$work/curl-args" || fail "$unit pings after $result: $(cat "$work/curl-args")"
        grep -qx -- -fsS "$work/curl-args" || fail "$unit pings without curl -fsS: $(cat "$work/curl-args")"
    done
    textfile=${textfile//\/var\/lib\/prometheus\/node-exporter/$work/textfile}
    fill_backups "$work/prune" ""
    check_textfile "$unit" "$work/prune" success 0 0 \
        "$(stat -c %Y "$work/prune/${backups[39]}")" "$(stat -c %s "$work/prune/${backups[39]}")"
    check_textfile "$unit" "$work/prune" exit-code 4 4 \
        "$(stat -c %Y "$work/prune/${backups[39]}")" "$(stat -c %s "$work/prune/${backups[39]}")"
    check_textfile "$unit" "$work/prune" exit-code 0 1 \
        "$(stat -c %Y "$work/prune/${backups[39]}")" "$(stat -c %s "$work/prune/${backups[39]}")"
    rm -rf "$work/empty" && mkdir "$work/empty"
    check_textfile "$unit" "$work/empty" signal TERM 1 0 0
}

# check_textfile UNIT DIR SERVICE_RESULT EXIT_STATUS STATUS TIME BYTES:
# the textfile command ($textfile) run in DIR writes exactly those values.
check_textfile() {
    (cd "$2" && SERVICE_RESULT=$3 EXIT_STATUS=$4 sh -c "$textfile") || fail "$1: the textfile line fails ($3 $4)"
    [ "$(cat "$work/textfile/dorvane.prom")" = "dorvane_last_exit_status $5
dorvane_last_success_timestamp_seconds $6
dorvane_last_backup_bytes $7" ] || fail "$1 writes after $3 $4: $(cat "$work/textfile/dorvane.prom")"
    [ "$(ls -A "$work/textfile")" = dorvane.prom ] || fail "$1 leaves in the textfile directory: $(ls -A "$work/textfile")"
}

# make_stand_ins: in $work/bin, a Dorvane (and BackupService) that notes
# it ran, prints $STAND_IN_OUTPUT without a line end and exits with
# $STAND_IN_STATUS, and a curl that notes its arguments, one a line.
make_stand_ins() {
    mkdir -p "$work/bin"
    # shellcheck disable=SC2016 # expanded by the stand-in
    printf '#!/bin/sh\ntouch %s/stand-in-ran\nprintf %%s "${STAND_IN_OUTPUT:-}"\nexit "${STAND_IN_STATUS:-0}"\n' \
        "$work" >"$work/bin/Dorvane"
    cp "$work/bin/Dorvane" "$work/bin/BackupService"
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >%s/curl-args\n' "$work" >"$work/bin/curl"
    chmod +x "$work/bin/Dorvane" "$work/bin/BackupService" "$work/bin/curl"
}

# check_examples BIN_DIR: the units pass systemd-analyze verify (which
# checks that the programs they run exist: BIN_DIR's Dorvane and
# BackupService stand in for /usr/bin's), the XML is well-formed, and the
# lines of the systemd and cron examples do what their comments say.
check_examples() {
    local unit command
    mkdir -p "$work/units"
    for unit in examples/*.service examples/*.timer; do
        sed -e "s|/usr/bin/Dorvane|$1/Dorvane|g" -e 's/^#\(ExecStartPost\|ExecStopPost\|Environment\)=/\1=/' \
            -e "s|/usr/bin/BackupService|$1/BackupService|g" "$unit" >"$work/units/$(basename "$unit")"
    done
    verify=$(cd "$work/units" && systemd-analyze verify --man=no ./*.service ./*.timer 2>&1) ||
        fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
    say "systemd units: $(cd examples && echo ./*.service ./*.timer) verified"
    for xml in examples/*.xml; do
        xmllint --noout "$xml" || fail "xmllint: $xml is not well-formed"
    done
    say "XML: $(echo examples/*.xml) well-formed"

    sqlite3 "$work/example.db" 'CREATE TABLE t (x); INSERT INTO t VALUES (1);'
    backups=()
    for day in $(seq -w 1 40); do backups+=("Database.202601${day}023000.db"); done
    others=(Ostrel.cfg Database.1234.0a1b2c3d.part Database.2026010102300.db Database.202601010230000.db
        Database.20260101023000.db.bak xDatabase.20260101023000.db)

    command=$(unit_command examples/dorvane-backup.service ExecStartPost) ||
        fail "dorvane-backup.service shows no pruning line"
    [ -n "$command" ] || fail "dorvane-backup.service shows no pruning line"
    check_pruning dorvane-backup.service "$command"
    command=$(cron_command examples/dorvane.cron 2)
    [ -n "$command" ] || fail "dorvane.cron shows no pruning line"
    command=${command//\/usr\/bin\/Dorvane/true}
    check_pruning dorvane.cron "${command//\/var\/backups\/dorvane/$work/prune}"
    say "pruning lines keep the newest 30 of 40 backups, touch nothing else, and remove nothing when the newest" \
        "backup is a web page or a broken database"
    check_cron_line 1
    check_cron_line 2
    say "cron lines: a failure's mail starts with the exit status, a missing directory is reported as such"
    check_stop_posts
    say "dorvane-backup.service: a failed run's log to the journal, the healthcheck ping, the textfile"
}

if [ "${1:-}" = examples ]; then
    make_stand_ins
    check_examples "$work/bin"
    say "example checks passed in $(($(date +%s) - started))s"
    exit 0
fi

# --- 1. Manual pages
for page in man/*.[0-9]; do
    lint=$(groff -man -ww -z "$page" 2>&1) || fail "groff cannot format $page: $lint"
    [ -z "$lint" ] || fail "groff -ww finds faults in $page: $lint"
done
say "manual pages: $(echo man/*.[0-9]) pass groff -ww"

# --- The two builds, configured as test.sh and ci-windows.sh do.
if [ ! -f build/CMakeCache.txt ]; then
    cmake --preset linux
fi
cmake --build build -j "$build_jobs"
if [ ! -f build-windows/CMakeCache.txt ]; then
    cmake --preset windows
fi
# Configured again: the msi target is there only when wixl was found,
# which ci-windows.sh does not install.
cmake -S . -B build-windows >"$work/configure-windows.log" ||
    fail "configuring build-windows: $(cat "$work/configure-windows.log")"
cmake --build build-windows -j "$build_jobs"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
    fail "packaging/changelog's top entry is version $changelog_version, the project (project(VERSION)) $version"
say "version $version: the project's and the changelog's"

# --- 2. No test code in the product
# Functions of the seam (seam::), of running programs (testprocess::) and
# the server-side socket calls of the tests (tests/support/TestSockets.h).
test_symbols=' (seam|testprocess)::|winsock::(bind|listen|accept|getsockname|SetLinger)\(|ForTesting'
check_symbols() {
    local nm=$1 program=$2 symbols found
    symbols=$("$nm" -C "$program") || fail "$nm cannot read $program"
    [ -n "$symbols" ] || fail "$program has no symbol table to check"
    found=$(grep -E "$test_symbols" <<<"$symbols" || true)
    [ -z "$found" ] || fail "$program carries test code: $found"
    say "$program: $(wc -l <<<"$symbols") symbols, none of the tests'"
}
check_symbols nm build/Dorvane
check_symbols x86_64-w64-mingw32-nm build-windows/Dorvane.exe

# pe_version_info PROGRAM: the version resource of a Windows program, read
# from its bytes: the fixed file and product versions (the four numbers
# after the 0xFEEF04BD signature of VS_FIXEDFILEINFO), then each string of
# its StringFileInfo as NAME=VALUE, one a line.
pe_version_info() {
    python3 - "$1" <<'PY'
import re, struct, sys
data = open(sys.argv[1], "rb").read()
at = data.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("no VS_FIXEDFILEINFO")
file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, at + 8)
numbers = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
print("fixed file version=" + numbers(file_ms, file_ls))
print("fixed product version=" + numbers(product_ms, product_ls))
for offset in (0, 1):
    text = data[offset:].decode("utf-16-le", "replace")
    for name in ("FileVersion", "ProductVersion", "ProductName", "FileDescription", "OriginalFilename"):
        for value in re.findall(name + "\x00+([ -~]+)\x00", text):
            print(name + "=" + value)
PY
}
version_info=$(pe_version_info build-windows/Dorvane.exe) || fail "build-windows/Dorvane.exe has no version resource"
for expected in "fixed file version=$version.0" "fixed product version=$version.0" "FileVersion=$version" \
    "ProductVersion=$version" "ProductName=Dorvane" "OriginalFilename=Dorvane.exe"; do
    grep -qxF "$expected" <<<"$version_info" ||
        fail "the version resource of build-windows/Dorvane.exe lacks $expected: $version_info"
done
say "build-windows/Dorvane.exe carries version $version in its version resource"

# --- 3. The .deb
rm -f build/dorvane_*.deb
(cd build && cpack -G DEB >"$work/cpack-deb.log" 2>&1) || fail "cpack -G DEB: $(cat "$work/cpack-deb.log")"
deb=build/dorvane_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "cpack -G DEB made no $deb: $(cat "$work/cpack-deb.log")"
say "$deb:"
dpkg-deb --info "$deb" | sed 's/^/    /'
dpkg-deb --contents "$deb" | sed 's/^/    /'
# Every tag counts, down to the informational, pedantic and experimental.
tags=$(lintian --display-info --display-experimental --pedantic --fail-on error,warning,info,pedantic,experimental \
    "$deb" 2>"$work/lintian.err") || fail "lintian: ${tags:-$(cat "$work/lintian.err")}"
[ -z "$tags" ] || fail "lintian finds faults in $deb: $tags"
say "lintian --pedantic: no tags"
depends=$(dpkg-deb --field "$deb" Depends)
for library in libmicrohttpd libsqlite3 libssl; do
    grep -q "$library" <<<"$depends" || fail "$deb does not depend on $library: $depends"
done
contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/Dorvane ./usr/bin/BackupService ./usr/share/man/man1/Dorvane.1.gz \
    ./usr/share/man/man8/BackupService.8.gz ./usr/share/doc/dorvane/README.md \
    ./usr/share/doc/dorvane/copyright ./usr/share/doc/dorvane/changelog.gz; do
    grep -q " $file\$" <<<"$contents" || fail "$deb has no $file"
done
dpkg-deb -x "$deb" "$work/deb"
mkdir "$work/run"
code=0
(cd "$work/run" && TMPDIR="$work/run" "$work/deb/usr/bin/Dorvane" --help >"$work/usage.txt") || code=$?
[ "$code" -eq 2 ] || fail "the unpacked Dorvane exited with $code, not the usage text's 2"
printf 'First run the following command to generate a config file: \n\nDorvane.exe server_address email_address password\n\nThen run Dorvane.exe' >"$work/usage-expected.txt"
cmp -s "$work/usage.txt" "$work/usage-expected.txt" ||
    fail "the unpacked Dorvane printed another usage text: $(od -c "$work/usage.txt" | head -n 20)"
say "the unpacked Dorvane prints its usage text and exits with 2"

# --- 4. The .deb installed for real, and purged again
# The packages install_deb installed: dorvane and the ones apt brought
# along for it; empty while none is installed. Named by apt beforehand
# rather than found by comparing dpkg's list, so that what others install
# on the machine meanwhile is never taken out.
deb_packages=

# installed PACKAGE: whether dpkg has PACKAGE installed (or half-way).
installed() {
    local status
    status=$(dpkg-query -W -f '${db:Status-Status}' "$1" 2>/dev/null) || return 1
    [ -n "$status" ] && [ "$status" != not-installed ]
}

# install_deb DEB: apt-get install of DEB, with the packages it needs.
# Refuses when a dorvane package is on the machine already: the check
# would replace it, and the purge remove it.
install_deb() {
    local brought
    if installed dorvane; then
        fail "a dorvane package is on this machine already; apt-get purge dorvane, then run again"
    fi
    # apt's plan: "Inst NAME (VERSION ...)" for each package new to the machine.
    brought=$(apt-get install -s --no-install-recommends "$1" | sed -n 's/^Inst \([^ ]*\) (.*/\1/p' | grep -vx dorvane ||
        true)
    deb_packages="dorvane ${brought//$'\n'/ }"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "$1" >"$work/apt-install.log" 2>&1 ||
        fail "apt-get install $1: $(cat "$work/apt-install.log")"
}

# purge_deb: apt-get purge of the packages install_deb installed, then
# checks that dpkg has none of them. Does nothing when install_deb did not
# run, so it can stand in the EXIT trap. Returns non-zero, saying why, when
# something is left.
purge_deb() {
    local package
    [ -n "$deb_packages" ] || return 0
    # shellcheck disable=SC2086 # the list is meant to split into words
    as_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 $deb_packages \
        >"$work/apt-purge.log" 2>&1 || { echo "FAILED: apt-get purge: $(cat "$work/apt-purge.log")" >&2; return 1; }
    for package in $deb_packages; do
        if installed "$package"; then
            echo "FAILED: apt-get purge left $package on the machine" >&2
            return 1
        fi
    done
    deb_packages=
}

# The transport of the installed round trip: HTTPS, with a private CA and
# a certificate for localhost made in $1.
round_trip_transport() {
    make_tls_certificates "$1"
    round_trip_url=https://localhost
    round_trip_service_args=(--tls-cert "$1/localhost.pem" --tls-key "$1/localhost.key")
    round_trip_client_env=(SSL_CERT_FILE="$1/ca.pem")
}

# installed_round_trip DIR: the main job's flow with the installed
# programs, in DIR: BackupService serves an example database, Dorvane
# writes its configuration and takes one backup, which must be whole.
installed_round_trip() {
    local dir=$1 client=$1/client output code saved rows
    round_trip_transport "$dir"
    scripts/make-example-db.sh "$dir/example.db" 50
    (umask 077 && printf '%s\n' 'user@example.com:secret' >"$dir/accounts")
    start_backup_service /usr/bin/BackupService "$dir" --database "$dir/example.db" \
        --accounts-file "$dir/accounts" "${round_trip_service_args[@]}"
    mkdir "$client"
    output=$(cd "$client" && env TMPDIR="$client" "${round_trip_client_env[@]}" \
        /usr/bin/Dorvane "$round_trip_url:$port" user@example.com secret 2>&1) ||
        fail "the installed Dorvane could not write its configuration: $output"
    grep -qF "The configuration file, Ostrel.cfg, is created." <<<"$output" ||
        fail "the installed Dorvane did not confirm its configuration: $output"
    code=0
    output=$(cd "$client" && env TMPDIR="$client" "${round_trip_client_env[@]}" timeout 60 /usr/bin/Dorvane 2>&1) ||
        code=$?
    [ "$code" -eq 0 ] || fail "the installed Dorvane's download exited with $code: $output"
    saved=("$client"/Database.*.db)
    [ -f "${saved[0]}" ] || fail "the installed Dorvane saved no backup: $output $(cat "$client/Dorvane.txt" 2>/dev/null)"
    [ "${#saved[@]}" -eq 1 ] || fail "the installed Dorvane saved ${#saved[@]} backups"
    [ "$(sqlite3 "${saved[0]}" 'PRAGMA integrity_check;')" = ok ] || fail "${saved[0]} fails integrity_check"
    rows=$(sqlite3 "${saved[0]}" 'SELECT count(*) FROM customers;')
    [ "$rows" = 50 ] || fail "${saved[0]} has $rows rows, the example database 50"
    stop_backup_service
}

install_started=$(date +%s)
install_deb "$root/$deb"
[ "$(command -v Dorvane)" = /usr/bin/Dorvane ] || fail "the installed Dorvane is not /usr/bin/Dorvane on PATH"
mkdir "$work/installed"
installed_round_trip "$work/installed"
for page in man1/Dorvane.1 man8/BackupService.8; do
    name=${page#*/} section=${page##*.}
    found=$(man -w "$section" "${name%.*}" 2>&1) || fail "man -w $section ${name%.*}: $found"
    [ "$found" = "/usr/share/man/$page.gz" ] || fail "man -w $section ${name%.*} finds $found, not /usr/share/man/$page.gz"
done
purge_deb || fail "the purge did not leave the machine as it was"
if [ -e /usr/bin/Dorvane ] || [ -e /usr/share/doc/dorvane ]; then fail "apt-get purge left files of dorvane"; fi
say "the installed .deb takes a backup from its BackupService, man finds its pages, and it is purged" \
    "($(($(date +%s) - install_started))s)"

# --- 5. The zip
rm -f build-windows/dorvane-*-win64.zip
(cd build-windows && cpack -G ZIP >"$work/cpack-zip.log" 2>&1) || fail "cpack -G ZIP: $(cat "$work/cpack-zip.log")"
zips=(build-windows/dorvane-*-win64.zip)
[ -f "${zips[0]}" ] || fail "cpack -G ZIP made no dorvane-*-win64.zip: $(cat "$work/cpack-zip.log")"
zip=${zips[0]}
say "$zip:"
listing=$(cmake -E tar tf "$zip")
sed 's/^/    /' <<<"$listing"
for file in Dorvane.exe README.txt Dorvane-manual.txt dorvane-task.xml dorvane-task.ps1; do
    grep -q "/$file\$" <<<"$listing" || fail "$zip has no $file"
done
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
manual=$(find "$work/zip" -name Dorvane-manual.txt)
grep -q "EXIT STATUS" "$manual" || fail "the manual text in $zip has no EXIT STATUS section"
if LC_ALL=C grep -q $'[\b\x1b]' "$manual"; then fail "the manual text in $zip has terminal escapes"; fi

# --- 6. The MSI, installed under Wine
msi_started=$(date +%s)
msi=build-windows/dorvane-$version-x64.msi
rm -f "$msi"
cmake --build build-windows --target msi >"$work/msi.log" 2>&1 || fail "the msi target: $(cat "$work/msi.log")"
[ -f "$msi" ] || fail "the msi target made no $msi"
msi_version=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')
[ "$msi_version" = "$version" ] || fail "$msi is version $msi_version, the project $version"
# An older version to upgrade from: the same files under version 0.9.0.
old_msi=$work/dorvane-0.9.0-x64.msi
cmake -DWIXL="$(command -v wixl)" -DMSIBUILD="$(command -v msibuild)" -DVERSION=0.9.0 -DSOURCE_DIR="$root" \
    -DBINARY_DIR="$root/build-windows" -DOUTPUT="$old_msi" -P cmake/Msi.cmake

runner=$root/build-windows/dorvane-wine-run.sh
wine_run() { /bin/sh "$runner" "$@"; }
# system_path: the machine's PATH in the registry, which Wine's programs start with.
system_path() {
    wine_run reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH |
        tr -d '\r' | sed -n 's/^ *PATH *REG_[A-Z_]* *//p'
}
# path_entries PATH: the entries of PATH, one a line, without empty ones.
path_entries() { tr ';' '\n' <<<"$1" | sed '/^$/d'; }
# installed_versions: the DisplayVersion of each product called Dorvane
# that Windows Installer registered, one a line.
installed_versions() {
    local key
    wine_run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
        awk '/^HKEY/ { key = $0 } /^ +DisplayName +REG_SZ +Dorvane$/ { print key }' |
        while read -r key; do
            wine_run reg query "$key" /v DisplayVersion | tr -d '\r' | sed -n 's/^ *DisplayVersion *REG_SZ *//p'
        done
}

start_private_wine "$runner"
install_dir="$DORVANE_WINEPREFIX/drive_c/Program Files/Dorvane"
path_before=$(system_path)
wine_run msiexec /i "$(windows_path "$old_msi")" /qn || fail "msiexec /i $old_msi failed"
[ "$(installed_versions)" = 0.9.0 ] || fail "after installing $old_msi Windows Installer has: $(installed_versions)"
wine_run msiexec /i "$(windows_path "$root/$msi")" /qn || fail "msiexec /i $msi failed"
versions=$(installed_versions)
[ "$versions" = "$version" ] || fail "after the upgrade to $msi Windows Installer has: $versions"
listing=$(cd "$install_dir" && LC_ALL=C ls -A)
[ "$listing" = "$(printf '%s\n' Dorvane-manual.txt Dorvane.exe README.txt dorvane-task.ps1 dorvane-task.xml)" ] ||
    fail "$install_dir holds: $listing"
cmp -s "$install_dir/Dorvane.exe" build-windows/Dorvane.exe || fail "the installed Dorvane.exe is not the built one"
entries=$(path_entries "$(system_path)" | grep -cixF 'C:\Program Files\Dorvane\' || true)
[ "$entries" = 1 ] || fail "the system PATH names the install folder $entries times: $(system_path)"

# Found through PATH alone, from a directory that holds nothing. Wine's
# loader searches PATH as CreateProcess does. Not through Wine's cmd: it
# ends its search at an empty PATH entry, which Wine's Windows Installer
# leaves where it took an entry out (here: the upgrade's removal of 0.9.0).
mkdir "$work/msi-run"
output=$(cd "$work/msi-run" && wine_run Dorvane.exe http://127.0.0.1:9 user@example.com secret 2>&1) ||
    fail "the installed Dorvane.exe failed: $output"
grep -qF "The configuration file, Ostrel.cfg, is created." <<<"$output" ||
    fail "the installed Dorvane.exe did not confirm its configuration: $output"
[ -f "$work/msi-run/Ostrel.cfg" ] || fail "the installed Dorvane.exe wrote no Ostrel.cfg"

wine_run msiexec /x "$(windows_path "$root/$msi")" /qn || fail "msiexec /x $msi failed"
[ ! -e "$install_dir" ] || fail "uninstalling left $install_dir: $(ls -A "$install_dir")"
[ -z "$(installed_versions)" ] || fail "after uninstalling Windows Installer still has: $(installed_versions)"
# Wine leaves the separator of the removed entry; the entries must be as
# they were.
[ "$(path_entries "$(system_path)")" = "$(path_entries "$path_before")" ] ||
    fail "uninstalling changed the system PATH from $path_before to $(system_path)"
[ -f "$work/msi-run/Ostrel.cfg" ] || fail "uninstalling removed the user's Ostrel.cfg"
stop_private_wine
say "$msi: upgrades 0.9.0, puts Dorvane on PATH, runs from there, uninstalls without a trace" \
    "($(($(date +%s) - msi_started))s)"

# --- 7. Scheduling examples
make_stand_ins
check_examples "$work/deb/usr/bin"

say "shipping checks passed in $(($(date +%s) - started))s"
