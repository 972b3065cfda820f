#!/usr/bin/env bash
# Benchmark: Dorvane's download against curl and wget, over loopback, from
# a private nginx, in clear and over TLS (Dorvane and curl, with a
# certificate from a private CA). One command, stops by itself:
#
#     bench/run.sh                       # 64 MiB and 1 GiB, 5 runs each
#     RUNS=3 SIZES=64 bench/run.sh       # quick
#
# RUNS        rounds per size (default 5, at most 100); a round runs every
#             client once, in an order of its own (shuffled, the same
#             on every run of the benchmark)
# SIZES       file sizes in MiB (default "64 1024"; "1024 4096" adds the
#             4 GiB run, on demand), at most 8192
# PHASE_RUNS  extra Dorvane runs per size under strace, to split its wall
#             time into phases (default 3; 0 skips them)
# COMPARE     path of a second Dorvane program (another build), run in the
#             same rounds as "Dorvane-B": before and after a change
# BENCH_TMP   where the temporary directory goes (default /tmp); it needs
#             about 4 x the largest size plus the sum of the sizes free, and
#             is deleted on exit
#
# Installs nginx, time and strace when missing (Debian), builds Dorvane (Release)
# into build-bench/, starts nginx in the foreground on a free port of
# 127.0.0.1 with its configuration, pid, logs and temporary files in the
# temporary directory, and stops it on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${RUNS:-5}"
SIZES="${SIZES:-64 1024}"
BENCH_TMP="${BENCH_TMP:-/tmp}"
PHASE_RUNS="${PHASE_RUNS:-3}"
COMPARE="${COMPARE:-}"
# shellcheck source=scripts/lib.sh
. "$ROOT/scripts/lib.sh"
# shellcheck disable=SC2086 # one size a word
whole_numbers "bench: SIZES (MiB)" 1 8192 ${SIZES//,/ }
whole_numbers "bench: RUNS" 1 100 "$RUNS"
whole_numbers "bench: PHASE_RUNS" 0 100 "$PHASE_RUNS"
[ -z "$COMPARE" ] || [ -x "$COMPARE" ] || fail "bench: COMPARE=$COMPARE is not a program"

# --- Tools
ensure_packages nginx time curl wget python3 cmake openssl
[ "$PHASE_RUNS" = 0 ] || ensure_packages strace
for tool in nginx curl wget cmp python3 cmake; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || fail "bench: $tool is missing"
done
NGINX="$(command -v nginx || echo /usr/sbin/nginx)"

# --- Build
say "bench: building Dorvane (Release) into build-bench/"
cmake -S "$ROOT" --preset bench >/dev/null
cmake --build "$ROOT/build-bench" -j "$build_jobs" --target Dorvane >/dev/null
DORVANE="$ROOT/build-bench/Dorvane"
[ -x "$DORVANE" ] || fail "bench: no $DORVANE"

# --- Temporary directory and nginx
DIR="$(mktemp -d "$BENCH_TMP/dorvane-bench.XXXXXX")"
NGINX_PID=""
cleanup() {
    if [ -n "$NGINX_PID" ] && kill -0 "$NGINX_PID" 2>/dev/null; then
        kill -TERM "$NGINX_PID" 2>/dev/null || true
        for _ in $(seq 1 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    rm -rf "$DIR"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$DIR/nginx/logs" "$DIR/nginx/temp" "$DIR/data" "$DIR/tls"
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}
PORT="$(free_port)"
TLS_PORT="$(free_port)"
# A private CA and a certificate for localhost, the way a site with its own
# CA sets a service up.
make_tls_certificates "$DIR/tls"
USER_LINE=""
[ "$(id -u)" -eq 0 ] && USER_LINE="user root;"  # the workers must read files in the private 0700 directory
sed -e "s|@DIR@|$DIR|g" -e "s|@PORT@|$PORT|g" -e "s|@TLS_PORT@|$TLS_PORT|g" -e "s|@USER_LINE@|$USER_LINE|" \
    "$ROOT/bench/nginx.conf.in" >"$DIR/nginx/nginx.conf"
"$NGINX" -t -q -e "$DIR/nginx/logs/error.log" -p "$DIR/nginx" -c "$DIR/nginx/nginx.conf"
"$NGINX" -e "$DIR/nginx/logs/error.log" -p "$DIR/nginx" -c "$DIR/nginx/nginx.conf" &
NGINX_PID=$!
ready=""
for _ in $(seq 1 100); do
    code="$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$PORT/" || true)"
    [ "$code" = "404" ] && { ready=1; break; }
    kill -0 "$NGINX_PID" 2>/dev/null || break
    sleep 0.1
done
[ -n "$ready" ] || fail "bench: nginx did not start: $(cat "$DIR/nginx/logs/error.log" 2>/dev/null)"
say "bench: nginx $("$NGINX" -v 2>&1 | sed 's|.*/||') listening on 127.0.0.1:$PORT, TLS on $TLS_PORT (pid $NGINX_PID)"

# --- Test files
for size in ${SIZES//,/ }; do
    say "bench: creating a random file of $size MiB"
    head -c "$((size * 1024 * 1024))" /dev/urandom >"$DIR/data/$size.bin"
done

# --- Machine
say "bench: machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), \
$(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo) RAM, kernel $(uname -r), $(df -T "$DIR" | awk 'NR == 2 {print $2}') file system under $BENCH_TMP"
[ -z "$COMPARE" ] || say "bench: Dorvane-B: $COMPARE"
say "bench: clients: Dorvane ($(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')$([ -z "$(git -C "$ROOT" status --porcelain -- CMakeLists.txt SocketManager driver log utility platform 2>/dev/null)" ] || echo ', with uncommitted changes')), \
$(curl --version | head -1 | cut -d' ' -f1-2), $(wget --version | head -1 | cut -d' ' -f1-3)"
say "bench: load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

status=0
python3 "$ROOT/bench/bench.py" --dir "$DIR" --server "http://127.0.0.1:$PORT" --dorvane "$DORVANE" \
    --tls-server "https://localhost:$TLS_PORT" --ca "$DIR/tls/ca.pem" \
    --sizes "$SIZES" --runs "$RUNS" --phase-runs "$PHASE_RUNS" --compare "$COMPARE" || status=$?
say "bench: load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
