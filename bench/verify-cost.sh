#!/usr/bin/env bash
# What BackupService's check of each copy (--verify quick) costs a download:
# downloads the same database over loopback with --verify quick and with
# --verify none, in alternating rounds, and prints for each the median
# download time and the longest silence the client saw (Dorvane gives up
# after 7 s of it). Also times PRAGMA quick_check on a copy by itself.
#
#     bench/verify-cost.sh                    # 50 MB and 1 GB, 3 rounds each
#     SIZES=50 RUNS=5 bench/verify-cost.sh
#
# SERVICE    the BackupService program (default build/service/BackupService)
# SIZES      database sizes in MB (default "50 1024"), at most 8192
# RUNS       rounds per size and setting (default 3, at most 50)
# BENCH_TMP  where the temporary directory goes (default /tmp); it needs about
#            twice the largest size free, and is deleted on exit
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/lib.sh
. "$ROOT/scripts/lib.sh"
SERVICE="${SERVICE:-$ROOT/build/service/BackupService}"
SIZES="${SIZES:-50 1024}"
RUNS="${RUNS:-3}"
BENCH_TMP="${BENCH_TMP:-/tmp}"
[ -x "$SERVICE" ] || fail "bench: no BackupService at $SERVICE (build first, or set SERVICE)"
whole_numbers "bench: RUNS" 1 50 "$RUNS"
# shellcheck disable=SC2086 # one size a word
whole_numbers "bench: SIZES (MB)" 1 8192 $SIZES
ensure_packages sqlite3 python3

work=$(mktemp -d "$BENCH_TMP/verify-cost.XXXXXX")
trap 'stop_backup_service; rm -rf "$work"' EXIT

# download PORT: one download; prints "SECONDS LONGEST-SILENCE BYTES".
download() {
    python3 - "$1" <<'PY'
import socket, sys, time
request = (b"GET /as/wapi/retrieve_db?Email=bench%40example.com&Password=bench HTTP/1.0\r\n"
           b"Host: 127.0.0.1\r\n\r\n")
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=60)
start = last = time.monotonic()
s.sendall(request)
longest, total, header = 0.0, 0, b""
while True:
    data = s.recv(1 << 20)
    now = time.monotonic()
    longest = max(longest, now - last)
    last = now
    if not data:
        break
    if header is not None:
        header += data
        end = header.find(b"\r\n\r\n")
        if end < 0:
            continue
        data, header = header[end + 4:], None
    total += len(data)
print(f"{now - start:.3f} {longest:.3f} {total}")
PY
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for size in $SIZES; do
    db="$work/bench-$size.db"
    rows=$((size * 1000000 / 190))
    say "making a database of about $size MB ($rows rows)"
    sh "$ROOT/scripts/make-example-db.sh" "$db" "$rows" >/dev/null
    sqlite3 "$db" "CREATE INDEX customers_email ON customers(email);"
    bytes=$(stat -c %s "$db")
    cp "$db" "$work/copy.db"
    check_started=$(date +%s.%N)
    sqlite3 "$work/copy.db" "PRAGMA cache_size=-8192; PRAGMA quick_check(1);" >/dev/null
    check_seconds=$(awk -v a="$check_started" -v b="$(date +%s.%N)" 'BEGIN { print b - a }')
    rm -f "$work/copy.db"
    : >"$work/quick" && : >"$work/none"
    for round in $(seq "$RUNS"); do
        for verify in quick none; do
            mkdir -p "$work/log"
            TMPDIR="$work" start_backup_service "$SERVICE" "$work/log" --database "$db" \
                --account bench@example.com:bench --verify "$verify"
            result=$(download "$port")
            stop_backup_service
            [ "${result##* }" = "$bytes" ] || fail "bench: $verify round $round got ${result##* } of $bytes bytes"
            echo "$result" >>"$work/$verify"
        done
    done
    for verify in quick none; do
        printf '%5s MB  --verify %-5s  download %6s s  longest silence %6s s  (median of %s)\n' \
            "$size" "$verify" "$(cut -d' ' -f1 "$work/$verify" | median)" \
            "$(cut -d' ' -f2 "$work/$verify" | median)" "$RUNS"
    done
    printf '%5s MB  quick_check alone on a copy: %.3f s (%s bytes)\n' "$size" "$check_seconds" "$bytes"
    rm -f "$db"
done
