# Cross-build for 64-bit Windows with Debian's MinGW-w64 compilers.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The -posix compilers are used because Debian's default (win32 thread
# model) ones have no std::thread or std::mutex. The runtime is linked
# statically, so Dorvane.exe and the tests run with no MinGW DLL beside them.
#
# Programs built here run under Wine through CMAKE_CROSSCOMPILING_EMULATOR
# (test discovery and ctest). The runner uses a private Wine prefix: the one
# named by DORVANE_WINEPREFIX, else one of its own under the temporary
# directory. Wine takes several seconds to set up a new prefix, so a script
# running many programs should prepare the prefix once (wineboot -i) and
# keep a wineserver up while it runs (see scripts/ci-windows.sh).

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DORVANE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# The runner script is written into the build tree; this file is also read
# for CMake's own trial builds, which get a copy of their own.
set(DORVANE_WINE_RUNNER ${CMAKE_BINARY_DIR}/dorvane-wine-run.sh)
file(WRITE ${DORVANE_WINE_RUNNER} [=[#!/bin/sh
# Runs a Windows program under 64-bit Wine with a private prefix.
# Written by cmake/mingw-w64-x86_64.cmake.
set -e
if [ -n "${DORVANE_WINE:-}" ]; then
    wine_binary=$DORVANE_WINE
elif command -v wine64 >/dev/null 2>&1; then
    wine_binary=$(command -v wine64)
elif [ -x /usr/lib/wine/wine64 ]; then
    wine_binary=/usr/lib/wine/wine64
else
    wine_binary=wine
fi
if [ -z "${DORVANE_WINEPREFIX:-}" ]; then
    DORVANE_WINEPREFIX=${TMPDIR:-/tmp}/dorvane-wineprefix-$(id -u)
fi
mkdir -p "$DORVANE_WINEPREFIX"
export WINEPREFIX="$DORVANE_WINEPREFIX"
export WINELOADER="$wine_binary"
export WINEDEBUG=-all
# A C.UTF-8 locale gives the programs an 8-bit ANSI code page (1252), as a
# Western Windows has: text that passes through it (arguments read with
# main's char**, say) is visibly not UTF-8. Set here, so that the prefix and
# every program agree on it.
export LC_ALL=C.UTF-8 LANG=C.UTF-8
# No Mono or Gecko set-up dialogs and no desktop menu entries: console
# programs need none of them, and without a display they only cost time.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
# A program that fails having printed nothing at all, not even on standard
# error, most likely never ran: Wine could not start it (a gtest program, say,
# always prints). It is run once more, and this is said on standard error; a
# program that fails again, or prints anything, keeps its result. The output
# is collected in files, not pipes (the services Wine starts in the
# background would hold a pipe open for ever), and passed on when the
# program ends or this script is stopped.
output=$(mktemp "${TMPDIR:-/tmp}/dorvane-wine-out.XXXXXX")
errors=$(mktemp "${TMPDIR:-/tmp}/dorvane-wine-err.XXXXXX")
pass_on() {
    cat "$output"
    cat "$errors" >&2
    rm -f "$output" "$errors"
}
trap 'pass_on; exit 143' INT TERM HUP
run() {
    status=0
    "$wine_binary" "$@" >"$output" 2>"$errors" || status=$?
}
run "$@"
if [ "$status" -ne 0 ] && [ ! -s "$output" ] && [ ! -s "$errors" ]; then
    echo "dorvane-wine-run: $1 printed nothing and ended with status $status: Wine may not have started it; running it once more" >&2
    run "$@"
fi
pass_on
exit "$status"
]=])
set(CMAKE_CROSSCOMPILING_EMULATOR /bin/sh ${DORVANE_WINE_RUNNER})
