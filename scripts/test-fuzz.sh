#!/usr/bin/env bash
# Builds the libFuzzer targets (clang++, ASan + UBSan) in build-fuzz/ and
# runs each for FUZZ_SECONDS seconds (default 10) from a copy of its seed
# corpus. Exits non-zero when a target crashes or a property fails.
# Usage: FUZZ_SECONDS=60 scripts/test-fuzz.sh
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"
seconds=${FUZZ_SECONDS:-10}
whole_numbers "FUZZ_SECONDS (seconds)" 0 999999999 "$seconds"

# clang and its compiler-rt (the libFuzzer and sanitizer runtimes), besides
# what the build needs anyway.
scripts/install-deps.sh clang libclang-rt-14-dev

build=build-fuzz
cmake --preset fuzz
cmake --build "$build" -j "$build_jobs" --target fuzz_targets

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The exchange targets keep their log under TMPDIR.
export TMPDIR="$work"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Target and the longest input it takes.
targets=(
    "fuzz_url_split 8192"
    "fuzz_tagged_text 4096"
    "fuzz_base64_cipher 4096"
    "fuzz_header_split 8192"
    "fuzz_exchange 70000"
)
failed=()
for entry in "${targets[@]}"; do
    read -r target max_len <<<"$entry"
    corpus="$work/corpus-$target"
    cp -r "fuzz/corpus/$target" "$corpus"
    say "$target for ${seconds}s"
    if "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=60 \
        -artifact_prefix="$work/$target-" -print_final_stats=1 "$corpus" >"$work/$target.log" 2>&1; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$work/$target.log" | sed 's/^/    /'
    else
        failed+=("$target")
        tail -n 60 "$work/$target.log"
        for artifact in "$work/$target-"*; do
            [ -e "$artifact" ] || continue
            mkdir -p "$root/$build/findings"
            cp "$artifact" "$root/$build/findings/"
            echo "    finding kept as $build/findings/$(basename "$artifact")"
        done
    fi
done

((${#failed[@]} == 0)) || fail "${failed[*]}"
echo "fuzzing: ${#targets[@]} passed, 0 failed"
