#!/usr/bin/env bash
# The main job, start to finish, on a fresh Debian machine:
#   installs what is missing, builds Dorvane and BackupService, creates an
#   example database, makes a private CA and a certificate for localhost,
#   serves the database over HTTPS with BackupService on a free loopback
#   port, has Dorvane write its configuration and download a backup over
#   TLS (trusting the CA through SSL_CERT_FILE), and checks the backup with
#   sqlite3. Exits non-zero when any step or check fails.
# Usage: scripts/main-job.sh      (from anywhere; builds in ./build)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
rows=300
email=user@example.com
password=secret

# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# --- 1. packages ---------------------------------------------------------
# shellcheck disable=SC2086 # the list is meant to split into words
ensure_packages $DORVANE_BASE_PACKAGES
say "packages: all present"

# --- 2. build ------------------------------------------------------------
cmake --preset release
cmake --build build -j "$build_jobs"
dorvane="$root/build/Dorvane"
service="$root/build/service/BackupService"
[ -x "$dorvane" ] || fail "the build made no $dorvane"
[ -x "$service" ] || fail "the build made no $service"
say "built $dorvane and $service"

# --- 3. an example database ----------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-main-job.XXXXXX")
database="$work/example.db"
"$root/scripts/make-example-db.sh" "$database" "$rows"
source_rows=$(sqlite3 "$database" "SELECT count(*) FROM customers;")
say "example database $database ($source_rows rows)"

# --- 4. the service ------------------------------------------------------
trap stop_backup_service EXIT
trap 'exit 1' INT TERM

(umask 077 && printf '%s:%s\n' "$email" "$password" >"$work/accounts")
make_tls_certificates "$work"
say "a private CA ($work/ca.pem) and a certificate for localhost"
start_backup_service "$service" "$work" --database "$database" --accounts-file "$work/accounts" \
    --tls-cert "$work/localhost.pem" --tls-key "$work/localhost.key"
say "BackupService serving HTTPS on 127.0.0.1:$port (log: $work/service.log)"

# --- 5. Dorvane: configuration, then the download, then the checks ---------
client="$work/client"
mkdir "$client"
dorvane_configure "$client" "https://localhost:$port" "$email" "$password"
say "Dorvane wrote $client/Ostrel.cfg"

export SSL_CERT_FILE="$work/ca.pem"
dorvane_download "$client" "$source_rows"
say "Dorvane's log: $client/Dorvane.txt"
say "Dorvane saved $backup ($(stat -c %s "$backup") bytes)"
say "check: integrity ok, $source_rows rows as in the source"

stop_backup_service
say "BackupService stopped; everything is in $work"
echo "PASSED"
