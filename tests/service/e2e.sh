#!/bin/sh
# End to end: the Dorvane client downloads a database from BackupService.
# Usage: e2e.sh DORVANE BACKUPSERVICE MAKE-EXAMPLE-DB
#
# 1. creates an example database and starts the service on a free loopback
#    port;
# 2. writes Ostrel.cfg through Dorvane's configuration mode, downloads with
#    Dorvane and checks the saved Database.*.db with sqlite3 (lib.sh's
#    round trip);
# 3. repeats with a wrong password: Dorvane must show the service's reason
#    (the reply is 403), exit with 8 and save no database; checks that the
#    request log names the download's account, size, duration and pages;
# 4. generic clients: curl -f with a wrong password fails and saves nothing,
#    a HEAD gets 405 with Allow: GET; behind --trusted-proxy, one forwarded
#    client's failures do not lock out another, whose download curl saves;
# 5. HTTPS: a service started with a certificate made here serves the
#    download over TLS (openssl s_client checks the certificate); one
#    given a key it cannot read or use, or one that others may read, refuses
#    to start; one given an expired, a not yet valid or a weak certificate
#    warns of it;
# 6. load: another service, reading its account from an accounts file,
#    serves E2E_CLIENTS (default 100) Dorvane clients started at once on a
#    database of E2E_LOAD_ROWS rows (default 6000, about 1 MB); each must
#    save a sound backup at the first attempt or the retry. Prints how many
#    needed the retry, the service's peak memory and its peak snapshot disk.
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
command -v curl >/dev/null 2>&1 || fail "the curl command is missing"

clients=${E2E_CLIENTS:-100}
load_rows=${E2E_LOAD_ROWS:-6000}

work=$(mktemp -d "${TMPDIR:-/tmp}/BackupService_e2e.XXXXXX")
service_pid=
sampler_pid=
status=1
finish() {
    stop_backup_service
    if [ -n "$sampler_pid" ]; then
        kill "$sampler_pid" 2>/dev/null || true
        wait "$sampler_pid" 2>/dev/null || true
    fi
    if [ "$status" -eq 0 ]; then
        rm -rf "$work"
    else
        echo "kept for inspection: $work" >&2
    fi
}
trap finish EXIT
trap 'exit 1' INT TERM

sh "$make_db" "$work/live.db" "$rows"

# start_service NAME ARGUMENT...: starts the service on a free loopback port
# with its snapshots in $work/NAME.snapshots and its output in $work/NAME/
# (service.log, service.err). Sets service_pid and url.
start_service() {
    name=$1
    shift
    mkdir "$work/$name" "$work/$name.snapshots"
    saved_tmpdir=${TMPDIR:-/tmp}
    TMPDIR="$work/$name.snapshots"
    export TMPDIR
    start_backup_service "$service" "$work/$name" "$@"
    TMPDIR=$saved_tmpdir
    url="http://127.0.0.1:$port"
    echo "service listening on 127.0.0.1:$port"
}

start_service service --database "$work/live.db" --account user@example.com:secret

# Dorvane runs through lib.sh's dorvane_in, at most two minutes at a time.
# shellcheck disable=SC2034 # read by lib.sh
dorvane_timeout=120

# --- the download -------------------------------------------------------
good="$work/good"
mkdir "$good"
dorvane_configure "$good" "$url" user@example.com secret
echo "configuration written"
dorvane_download "$good" "$rows"
echo "downloaded $(basename "$backup"): integrity ok, $rows rows"

# --- a wrong password ---------------------------------------------------
bad="$work/bad"
mkdir "$bad"
dorvane_configure "$bad" "$url" user@example.com wrong
code=0
dorvane_in "$bad" || code=$?
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
[ "$code" -eq 8 ] || fail "Dorvane exited with $code after the service refused the password, expected 8"
echo "wrong password: reason shown, exit status 8, nothing saved"

# --- generic clients ------------------------------------------------------
# curl -f must not store the failure text as a backup, and a monitor's HEAD
# must learn that the path is there.
download_path="$url/as/wapi/retrieve_db"
code=0
curl -sS -f -o "$work/curl-refused.db" "$download_path?Email=user%40example.com&Password=wrong" \
    2>"$work/curl.err" || code=$?
[ "$code" -eq 22 ] || fail "curl -f exited with $code for a wrong password: $(cat "$work/curl.err")"
[ ! -s "$work/curl-refused.db" ] || fail "curl -f stored the failure text"
curl -sS -I "$download_path" >"$work/head.txt" || fail "HEAD failed: $(cat "$work/head.txt")"
head -n 1 "$work/head.txt" | grep -q '^HTTP/1.1 405 ' && grep -qi '^Allow: GET' "$work/head.txt" ||
    fail "HEAD should get 405 with Allow: GET: $(cat "$work/head.txt")"
echo "curl -f: exit status 22 for a wrong password, nothing stored; HEAD: 405, Allow: GET"

# --- the service's side -------------------------------------------------
stop_backup_service
[ "$service_status" -eq 0 ] || fail "service exited with $service_status on SIGTERM"
if grep -qE 'secret|wrong' "$work/service/service.log"; then
    fail "a password appears in the service's output"
fi
# The download's line names its account, its size, its duration in seconds
# and its pages.
size=$(stat -c %s "$backup")
pages=$((size / $(sqlite3 "$backup" "PRAGMA page_size;")))
grep -Eq " 127\.0\.0\.1 GET /as/wapi/retrieve_db 200 $size user@example\.com [0-9]+\.[0-9]{3} $pages\$" \
    "$work/service/service.log" ||
    fail "no log line for the download of $size bytes, $pages pages: $(cat "$work/service/service.log")"
[ "$(grep -cE ' GET /as/wapi/retrieve_db 403 90 user@example\.com [0-9.]+ - refused$' "$work/service/service.log")" \
    -eq 2 ] || fail "the wrong passwords are not logged as refused: $(cat "$work/service/service.log")"
echo "request log: the download names its account, $size bytes and $pages pages"

# --- behind a reverse proxy ---------------------------------------------------
# 127.0.0.1 stands for the proxy; curl sends what it would forward.
start_service proxied --database "$work/live.db" --account user@example.com:secret --trusted-proxy 127.0.0.1
# forwarded FOR PASSWORD OUTPUT: the HTTP status of a download forwarded for FOR.
forwarded() {
    curl -sS -o "$3" -w '%{http_code}' -H "X-Forwarded-For: $1" \
        "http://127.0.0.1:$port/as/wapi/retrieve_db?Email=user%40example.com&Password=$2"
}
for _ in 1 2 3 4 5; do
    [ "$(forwarded 203.0.113.1 wrong /dev/null)" = 403 ] || fail "a forwarded wrong password was not refused"
done
[ "$(forwarded 203.0.113.1 secret /dev/null)" = 429 ] || fail "the forwarded client was not locked out"
[ "$(forwarded 203.0.113.2 secret "$work/neighbour.db")" = 200 ] ||
    fail "another forwarded client was locked out: $(cat "$work/proxied/service.log")"
check_backup "$work/neighbour.db" "$rows"
stop_backup_service
[ "$(grep -c ' 203\.0\.113\.1 GET /as/wapi/retrieve_db 403 ' "$work/proxied/service.log")" -eq 5 ] &&
    grep -q " 203\.0\.113\.2 GET /as/wapi/retrieve_db 200 $(stat -c %s "$work/neighbour.db") user@example\.com " \
        "$work/proxied/service.log" || fail "the log does not name the forwarded clients: $(cat "$work/proxied/service.log")"
echo "--trusted-proxy: one forwarded client locked out, another served; the log names both"

# --- HTTPS ------------------------------------------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/tls.key" -out "$work/tls.crt" \
    >/dev/null 2>&1 || fail "openssl could not make a test certificate"
start_service tls --database "$work/live.db" --account user@example.com:secret \
    --tls-cert "$work/tls.crt" --tls-key "$work/tls.key"
printf 'GET /as/wapi/retrieve_db?Email=user%%40example.com&Password=secret HTTP/1.0\r\n\r\n' |
    timeout 60 openssl s_client -quiet -connect "127.0.0.1:$port" -CAfile "$work/tls.crt" \
        -verify_return_error -verify_ip 127.0.0.1 >"$work/tls.reply" 2>"$work/tls.err" ||
    fail "no download over TLS: $(cat "$work/tls.err")"
[ "$(head -n 1 "$work/tls.reply")" = "$(printf 'HTTP/1.1 200 OK\r')" ] ||
    fail "unexpected reply over TLS: $(head -c 300 "$work/tls.reply")"
header_bytes=$(LC_ALL=C awk '{ n += length($0) + 1 } $0 == "\r" { print n; exit }' "$work/tls.reply")
tail -c +$((header_bytes + 1)) "$work/tls.reply" >"$work/tls.db"
[ "$(sqlite3 "$work/tls.db" "PRAGMA integrity_check;")" = ok ] || fail "the copy over TLS is damaged"
count=$(sqlite3 "$work/tls.db" "SELECT count(*) FROM customers;")
[ "$count" = "$rows" ] || fail "the copy over TLS has $count rows, expected $rows"
stop_backup_service
echo "downloaded over TLS: integrity ok, $count rows"

# refuse_key KEY REASON: the service must refuse to start with KEY, saying REASON.
refuse_key() {
    code=0
    "$service" --database "$work/live.db" --accounts-file "$work/tls-accounts" \
        --tls-cert "$work/tls.crt" --tls-key "$1" >"$work/tls.out" 2>"$work/tls.err" || code=$?
    [ "$code" -eq 1 ] && [ ! -s "$work/tls.out" ] || fail "started with the key $1 (exit code $code)"
    grep -qF -- "$2" "$work/tls.err" || fail "the reason is not given: $(cat "$work/tls.err")"
}
(umask 077 && echo "user@example.com:secret" >"$work/tls-accounts")
refuse_key "$work/missing.key" "--tls-key $work/missing.key: cannot be read"
refuse_key "$work" "--tls-key $work: cannot be read"
(umask 077 && echo "not a key" >"$work/bad.key")
refuse_key "$work/bad.key" "cannot serve HTTPS on 127.0.0.1:0 with that certificate and key"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$work/other.key" 2>/dev/null ||
    fail "openssl could not make a key"
refuse_key "$work/other.key" "cannot serve HTTPS on 127.0.0.1:0 with that certificate and key"
cp "$work/tls.key" "$work/shared.key"
chmod 640 "$work/shared.key"
refuse_key "$work/shared.key" "--tls-key $work/shared.key: other users can access it (mode 0640); it holds the \
service's private key, so allow only its owner: chmod 600 $work/shared.key"
echo "refused to start with a key it cannot read or use, that does not match, or that others may read"

# warns_of NAME CERTIFICATE KEY TEXT: the service starts with them and warns of TEXT.
warns_of() {
    start_service "$1" --database "$work/live.db" --accounts-file "$work/tls-accounts" --tls-cert "$2" --tls-key "$3"
    stop_backup_service
    grep -qF -- "BackupService: warning: --tls-cert $2: $4" "$work/$1/service.err" ||
        fail "no warning of '$4': $(cat "$work/$1/service.err")"
}
python3 - "$work" <<'EOF_PYTHON' || fail "could not make the out-of-date certificates"
import datetime, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.x509.oid import NameOID
work = sys.argv[1]
with open(work + "/tls.key", "rb") as f:
    key = serialization.load_pem_private_key(f.read(), None)
name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")])
for file, start in (("expired.crt", datetime.datetime(2020, 1, 1)), ("future.crt", datetime.datetime(2100, 1, 1))):
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(1).not_valid_before(start).not_valid_after(start + datetime.timedelta(days=30))
                   .sign(key, hashes.SHA256()))
    with open(work + "/" + file, "wb") as f:
        f.write(certificate.public_bytes(serialization.Encoding.PEM))
EOF_PYTHON
warns_of expired "$work/expired.crt" "$work/tls.key" \
    "the certificate has expired (valid from 2020-01-01T00:00:00Z until 2020-01-31T00:00:00Z); clients refuse it"
warns_of future "$work/future.crt" "$work/tls.key" "the certificate is not valid yet (valid from \
2100-01-01T00:00:00Z until 2100-01-31T00:00:00Z); clients refuse it until then"
openssl req -x509 -newkey rsa:1024 -nodes -days 2 -subj /CN=127.0.0.1 -keyout "$work/weak.key" \
    -out "$work/weak.crt" >/dev/null 2>&1 || fail "openssl could not make a weak certificate"
warns_of weak "$work/weak.crt" "$work/weak.key" "the certificate's RSA key has only 1024 bits"
echo "warned of an expired, a not yet valid and a weak certificate"

# --- many clients at once ------------------------------------------------
sh "$make_db" "$work/load.db" "$load_rows"
(umask 077 && echo "load@example.com:load secret" >"$work/accounts")
start_service load --database "$work/load.db" --accounts-file "$work/accounts"
[ ! -s "$work/load/service.err" ] || fail "unexpected service messages: $(cat "$work/load/service.err")"
i=0
while [ $i -lt "$clients" ]; do
    mkdir "$work/c$i"
    dorvane_configure "$work/c$i" "$url" load@example.com "load secret"
    i=$((i + 1))
done

# Peak snapshot disk: the service's open snapshot files, named or not.
snapshot_bytes() {
    ls -l /proc/"$service_pid"/fd 2>/dev/null | awk '/BackupService-snapshot-/ { print $9 }' |
        while read -r fd; do stat -L -c '%i %s' /proc/"$service_pid"/fd/"$fd" 2>/dev/null || true; done |
        sort -u | awk '{ total += $2 } END { print total + 0 }'
}
(
    peak=0
    while :; do
        now=$(snapshot_bytes)
        if [ "$now" -gt "$peak" ]; then
            peak=$now
            echo "$peak" >"$work/peak-disk"
        fi
        sleep 0.05
    done
) &
sampler_pid=$!

started=$(date +%s)
pids=
i=0
while [ $i -lt "$clients" ]; do
    dorvane_in "$work/c$i" &
    pids="$pids $!"
    i=$((i + 1))
done
wait_failed=0
for pid in $pids; do
    wait "$pid" || wait_failed=1
done
elapsed=$(($(date +%s) - started))
kill "$sampler_pid" 2>/dev/null || true
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=
[ "$wait_failed" -eq 0 ] || fail "a client exited with an error"

retried=0
i=0
while [ $i -lt "$clients" ]; do
    dir="$work/c$i"
    saved_backup "$dir"
    check_backup "$backup" "$load_rows"
    grep -q "Repeat to Dorvane" "$dir/Dorvane.txt" && retried=$((retried + 1))
    rm -f "$backup"
    i=$((i + 1))
done
peak_rss=$(awk '/^VmHWM/ { print $2 " " $3 }' /proc/"$service_pid"/status)
echo "load: $clients clients on $(stat -c %s "$work/load.db") bytes in ${elapsed}s:" \
    "$((clients - retried)) at the first attempt, $retried at the retry;" \
    "service peak RSS $peak_rss, peak snapshot disk $(cat "$work/peak-disk" 2>/dev/null || echo 0) bytes"
stop_backup_service

status=0
echo "PASS"
