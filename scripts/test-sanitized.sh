#!/usr/bin/env bash
# Builds the Linux tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs them all; any report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

scripts/install-deps.sh
cmake --preset sanitized
cmake --build build-sanitize -j "$build_jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$build_jobs"
