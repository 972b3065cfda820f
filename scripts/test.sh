#!/usr/bin/env bash
# Installs what is missing, checks the C++ layout, builds, and runs every
# test: the Linux build first, then the same with the sanitizers, a
# valgrind run of a download, downloads through Debian's lighttpd, Apache
# and nginx, a short run of each fuzz target, the Windows
# cross-build under Wine, and
# what is shipped: the packages, the manual pages and the scheduling
# examples, and that the programs carry no test code.
# Every stage must pass; a stage whose script is missing fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

# run_stage SCRIPT: runs one stage's script, which must be there.
run_stage() {
    [ -x "$1" ] || fail "the stage $1 is missing (or not executable)"
    local started
    started=$(date +%s)
    say "stage $1"
    "$1"
    say "stage $1 passed in $(($(date +%s) - started))s"
}

scripts/install-deps.sh clang-format
# Every C++ file is laid out as .clang-format says (Debian's clang-format).
# shellcheck disable=SC2046 # one argument per file
clang-format --dry-run -Werror $(git ls-files '*.cpp' '*.h') || fail "clang-format would change the files above"
say "clang-format: every C++ file as .clang-format lays it out"
cmake --preset linux
cmake --build build -j "$build_jobs"
full_fs=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-full-fs.XXXXXX")
trap 'withdraw_full_file_system "$full_fs"; rmdir "$full_fs"' EXIT
offer_full_file_system "$full_fs"
ctest --test-dir build --output-on-failure -j "$build_jobs"
withdraw_full_file_system "$full_fs"

run_stage scripts/test-sanitized.sh
run_stage scripts/test-valgrind.sh
run_stage scripts/test-interop.sh
export FUZZ_SECONDS="${FUZZ_SECONDS:-10}"
run_stage scripts/test-fuzz.sh
run_stage scripts/ci-windows.sh
run_stage scripts/test-shipping.sh
