#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the Linux build
# first, then the same with the sanitizers, a valgrind run of a download, a
# short run of each fuzz target, then the Windows cross-build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

scripts/test-sanitized.sh
scripts/test-valgrind.sh
FUZZ_SECONDS="${FUZZ_SECONDS:-10}" scripts/test-fuzz.sh

if [ -x scripts/ci-windows.sh ]; then
  scripts/ci-windows.sh
fi
