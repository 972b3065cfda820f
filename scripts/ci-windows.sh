#!/bin/sh
# Windows build of Dorvane: cross-compiles with MinGW-w64 and runs the unit
# and end-to-end tests under Wine. Exits non-zero when anything fails.
#
#   scripts/ci-windows.sh            (from anywhere; builds in build-windows/)
#
# The Wine prefix is private to this run: it is created in a temporary
# directory, prepared once, served by one wineserver for the whole run, and
# removed at the end.
set -eu

cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh
BUILD_DIR=build-windows

# --- Tools.
# groff-base writes the manual as text for the zip. libgnutls30 (64-bit) is
# what Wine's Schannel runs on; Wine only recommends it, and without it
# every TLS session fails to start.
ensure_packages cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine64 libgnutls30 googletest \
    groff-base

# The private Wine prefix (scripts/lib.sh), used by the runner of the
# toolchain file; created after configuring, which writes the runner.
# shellcheck disable=SC2317 # called through the trap
stop_wine() {
    [ -z "${FULL_FS_MOUNT:-}" ] || withdraw_full_file_system "$FULL_FS_MOUNT"
    stop_private_wine
}
trap stop_wine EXIT
trap 'exit 130' INT TERM

started=$(date +%s)

say "configuring $BUILD_DIR"
cmake --preset windows

RUN_UNDER_WINE="$BUILD_DIR/dorvane-wine-run.sh"

start_private_wine "$RUN_UNDER_WINE"

say "building"
cmake --build "$BUILD_DIR" -j "$build_jobs"

# Tests that fail under Wine only, because Wine's Winsock differs from
# Windows'. They run in a second pass whose outcome is shown but does not
# decide the result. Keep this list short and say why for each entry.
#  - ResetInTheMiddle..., ConnectionErrors...Reset: after the peer resets
#    the connection (RST), Wine's recv() returns 0, an orderly close, where
#    Windows fails with WSAECONNRESET (10054).
WINE_DEVIATIONS='^(HTTPConnectionTest[.]ResetInTheMiddleKeepsTheBytesThatArrived$|Endings/ConnectionErrors[.]WithoutALengthKeepNothing/Reset( |$))'

# The uncounted pass comes first, so that the last summary ctest prints is
# the one that decides.
say "known Wine deviations (not counted)"
ctest --test-dir "$BUILD_DIR" -j "$build_jobs" -R "$WINE_DEVIATIONS" || true

# A real full file system for the full-disk test: a 1 MiB tmpfs, named to the
# Windows tests by its drive path. Mounting needs root; without it that test
# says so and skips.
FULL_FS_MOUNT="$DORVANE_WINEPREFIX/full-fs"
mkdir -p "$FULL_FS_MOUNT"
offer_full_file_system "$FULL_FS_MOUNT"
if [ -n "${DORVANE_FULL_FS:-}" ]; then
    DORVANE_FULL_FS=$(windows_path "$FULL_FS_MOUNT")
fi

say "testing under Wine"
status=0
ctest --test-dir "$BUILD_DIR" -j "$build_jobs" --output-on-failure -E "$WINE_DEVIATIONS" || status=$?

say "finished in $(( $(date +%s) - started ))s, status $status"
exit "$status"
