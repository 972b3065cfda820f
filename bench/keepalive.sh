#!/usr/bin/env bash
# Benchmark: a download from a keep-alive server, which sends the whole
# reply with its Content-Length and then keeps the connection open, by
# Dorvane and by curl (bench/keepalive.py plays the server). One command:
#
#     bench/keepalive.sh                  # 5 runs
#     RUNS=3 COMPARE=/path/to/Dorvane bench/keepalive.sh
#
# RUNS     rounds (default 5, at most 100), each in a shuffled order
# ROWS     rows of the example database served (default 20000)
# COMPARE  a second Dorvane program (another build), run as "Dorvane-B"
#
# Builds Dorvane (Release) into build-bench/; everything else lives in a
# temporary directory, deleted on exit.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${RUNS:-5}"
ROWS="${ROWS:-20000}"
COMPARE="${COMPARE:-}"
# shellcheck source=scripts/lib.sh
. "$ROOT/scripts/lib.sh"
whole_numbers "bench: RUNS" 1 100 "$RUNS"
whole_numbers "bench: ROWS" 1 10000000 "$ROWS"
[ -z "$COMPARE" ] || [ -x "$COMPARE" ] || fail "bench: COMPARE=$COMPARE is not a program"
ensure_packages time curl python3 cmake sqlite3

say "bench: building Dorvane (Release) into build-bench/"
cmake -S "$ROOT" --preset bench >/dev/null
cmake --build "$ROOT/build-bench" -j "$build_jobs" --target Dorvane >/dev/null

DIR="$(mktemp -d "${TMPDIR:-/tmp}/dorvane-keepalive.XXXXXX")"
trap 'rm -rf "$DIR"' EXIT
"$ROOT/scripts/make-example-db.sh" "$DIR/served.db" "$ROWS" >/dev/null
say "bench: clients: Dorvane ($(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')), $(curl --version | head -1 | cut -d' ' -f1-2)"
python3 "$ROOT/bench/keepalive.py" --dir "$DIR" --file "$DIR/served.db" --dorvane "$ROOT/build-bench/Dorvane" \
    --compare "$COMPARE" --runs "$RUNS"
