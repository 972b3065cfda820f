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
    local code=$?
    stop_backup_service
    [ "$code" -eq 0 ] || cat "$work"/memcheck-*.txt >&2 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

"$root/scripts/make-example-db.sh" "$work/source.db" 50 >/dev/null
make_tls_certificates "$work"
start_backup_service "$service" "$work" --database "$work/source.db" --account "$email:$password" \
    --tls-cert "$work/localhost.pem" --tls-key "$work/localhost.key"
say "BackupService on 127.0.0.1:$port"

# under_memcheck NAME: runs Dorvane under memcheck from now on (lib.sh's
# dorvane_launcher), its report in memcheck-NAME.txt.
under_memcheck() {
    dorvane_launcher="valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect
        --error-exitcode=1 --track-origins=yes --log-file=$work/memcheck-$1.txt"
}

# report_memcheck NAME: the summary lines of memcheck's report of that run.
report_memcheck() {
    grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks were freed' "$work/memcheck-$1.txt" |
        sed "s/^==[0-9]*== */    $1: /"
}

client="$work/client"
mkdir "$client"
under_memcheck configuration
dorvane_configure "$client" "https://localhost:$port" "$email" "$password"
report_memcheck configuration

under_memcheck download
export SSL_CERT_FILE="$work/ca.pem"
dorvane_download "$client"
report_memcheck download
say "backup $(basename "$backup") ($(stat -c %s "$backup") bytes): integrity ok"
echo "valgrind: 2 passed, 0 failed"
