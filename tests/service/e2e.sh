#!/bin/sh
# End to end: the Dorvane client downloads a database from BackupService.
# Usage: e2e.sh DORVANE BACKUPSERVICE MAKE-EXAMPLE-DB
#
# 1. creates an example database and starts the service on a free loopback
#    port;
# 2. writes Ostrel.cfg through Dorvane's configuration mode, downloads with
#    Dorvane and checks the saved Database.*.db with sqlite3;
# 3. repeats with a wrong password: Dorvane must show the service's reason
#    and save no database.
# The scratch directory is removed on success and kept on failure.
set -eu

if [ $# -ne 3 ]; then
    echo "usage: $0 DORVANE BACKUPSERVICE MAKE-EXAMPLE-DB" >&2
    exit 2
fi
dorvane=$1
service=$2
make_db=$3
rows=300
reason="Invalid e-mail address or password"

# shellcheck source=scripts/lib.sh
. "$(dirname "$0")/../../scripts/lib.sh"

command -v sqlite3 >/dev/null 2>&1 || fail "the sqlite3 command is missing"

work=$(mktemp -d "${TMPDIR:-/tmp}/BackupService_e2e.XXXXXX")
status=1
finish() {
    stop_backup_service
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "kept for inspection: $work" >&2
    fi
}
trap finish EXIT
trap 'exit 1' INT TERM

sh "$make_db" "$work/live.db" "$rows"

start_backup_service "$service" "$work" --database "$work/live.db" --account user@example.com:secret
url="http://127.0.0.1:$port"
echo "service listening on 127.0.0.1:$port"

# Runs Dorvane in directory $1 with the remaining arguments; its log
# (Dorvane.txt) goes to that directory. Output in $1/out.txt and $1/err.txt.
run_dorvane() {
    dir=$1
    shift
    (cd "$dir" && TMPDIR="$dir" timeout 120 "$dorvane" "$@" >"$dir/out.txt" 2>"$dir/err.txt")
}

# --- the download -------------------------------------------------------
good="$work/good"
mkdir "$good"
run_dorvane "$good" "$url" user@example.com secret || fail "configuration mode exited with $?"
grep -qF "The configuration file, Ostrel.cfg, is created." "$good/out.txt" "$good/err.txt" ||
    fail "configuration mode did not confirm: $(cat "$good/out.txt" "$good/err.txt")"
[ -f "$good/Ostrel.cfg" ] || fail "no Ostrel.cfg written"
echo "configuration written"

code=0
run_dorvane "$good" || code=$?
[ "$code" -eq 0 ] || fail "download exited with $code: $(cat "$good/out.txt" "$good/err.txt")"
saved=$(cd "$good" && ls Database.*.db 2>/dev/null || true)
[ -n "$saved" ] || fail "no Database.*.db saved: $(cat "$good/out.txt" "$good/err.txt")"
[ "$(echo "$saved" | wc -l)" -eq 1 ] || fail "more than one database saved: $saved"
echo "$saved" | grep -Eq '^Database\.[0-9]{14}\.db$' || fail "unexpected file name $saved"
integrity=$(sqlite3 "$good/$saved" "PRAGMA integrity_check;")
[ "$integrity" = ok ] || fail "integrity_check of $saved: $integrity"
count=$(sqlite3 "$good/$saved" "SELECT count(*) FROM customers;")
[ "$count" = "$rows" ] || fail "$saved has $count rows, expected $rows"
echo "downloaded $saved: integrity ok, $count rows"

# --- a wrong password ---------------------------------------------------
bad="$work/bad"
mkdir "$bad"
run_dorvane "$bad" "$url" user@example.com wrong || fail "configuration mode exited with $?"
code=0
run_dorvane "$bad" || code=$?
shown=
for file in "$bad/out.txt" "$bad/err.txt"; do
    grep -qF "$reason" "$file" && shown=$file
done
[ -n "$shown" ] || fail "the service's reason was not shown: $(cat "$bad/out.txt" "$bad/err.txt")"
# The reason is printed as is, without a line end after it.
[ "$(tail -c ${#reason} "$shown")" = "$reason" ] && [ "$(tail -c 1 "$shown" | wc -l)" -eq 0 ] ||
    fail "the reason should end the output, without a newline: $(od -c "$shown" | tail -n 3)"
if ls "$bad"/Database.*.db >/dev/null 2>&1; then
    fail "a database was saved despite the wrong password"
fi
echo "wrong password: reason shown (exit code $code), nothing saved"

# --- the service's side -------------------------------------------------
stop_backup_service
[ "$service_status" -eq 0 ] || fail "service exited with $service_status on SIGTERM"
if grep -qE 'secret|wrong' "$work/service.log"; then
    fail "a password appears in the service's output"
fi
[ "$(grep -c ' GET /as/wapi/retrieve_db 200 ' "$work/service.log")" -ge 2 ] ||
    fail "expected at least two logged requests: $(cat "$work/service.log")"

status=0
echo "PASS"
