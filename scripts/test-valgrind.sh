#!/usr/bin/env bash
# One end-to-end download under valgrind's memcheck: a Debug build of
# Dorvane writes its configuration and downloads a backup over TLS from a
# local BackupService serving HTTPS, each run under memcheck. Exits non-zero when memcheck
# reports an error or a definite/indirect leak, when a run fails, or when the
# saved backup does not pass SQLite's integrity check.
# Usage: scripts/test-valgrind.sh      (builds in ./build-valgrind)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
email=user@example.com
password=secret

# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

scripts/install-deps.sh valgrind

build="$root/build-valgrind"
cmake --preset valgrind
cmake --build "$build" -j "$build_jobs" --target Dorvane BackupService
dorvane="$build/Dorvane"
service="$build/service/BackupService"

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-valgrind.XXXXXX")
export TMPDIR="$work"
cleanup() {
    stop_backup_service
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

"$root/scripts/make-example-db.sh" "$work/source.db" 50 >/dev/null
make_tls_certificates "$work"
start_backup_service "$service" "$work" --database "$work/source.db" --account "$email:$password" \
    --tls-cert "$work/localhost.pem" --tls-key "$work/localhost.key"
say "BackupService on 127.0.0.1:$port"

memcheck=(valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
    --error-exitcode=1 --track-origins=yes)

# Runs Dorvane under memcheck in the client directory; $1 names the run.
run_checked() {
    local name=$1
    shift
    local code=0
    (cd "$work/client" && "${memcheck[@]}" --log-file="$work/memcheck-$name.txt" "$dorvane" "$@" \
        >"$work/output-$name.txt" 2>&1) || code=$?
    grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks were freed' "$work/memcheck-$name.txt" |
        sed "s/^==[0-9]*== */    $name: /"
    if [ "$code" -ne 0 ]; then
        cat "$work/memcheck-$name.txt" "$work/output-$name.txt" >&2
        fail "the $name run exited with $code"
    fi
}

mkdir "$work/client"
run_checked configuration "https://localhost:$port" "$email" "$password"
grep -qF "The configuration file, Ostrel.cfg, is created." "$work/output-configuration.txt" ||
    fail "configuration mode did not write Ostrel.cfg: $(cat "$work/output-configuration.txt")"

SSL_CERT_FILE="$work/ca.pem" run_checked download
shopt -s nullglob
saved=("$work/client/"Database.*.db)
[ "${#saved[@]}" -eq 1 ] || fail "expected one Database.*.db, found ${#saved[@]} (log: $(cat "$work/Dorvane.txt" 2>/dev/null))"
integrity=$(sqlite3 "${saved[0]}" "PRAGMA integrity_check;")
[ "$integrity" = ok ] || fail "integrity_check of the backup: $integrity"
say "backup $(basename "${saved[0]}") ($(stat -c %s "${saved[0]}") bytes): integrity ok"
echo "valgrind: 2 passed, 0 failed"
