#!/usr/bin/env bash
# Checks what is shipped, in the build directories of the Linux and the
# Windows build (build/ and build-windows/; configured and built here when
# test.sh and ci-windows.sh have not done so):
#   1. the manual pages pass groff's lint with every warning on;
#   2. the product carries no test code: the symbol tables of Dorvane and
#      Dorvane.exe name no function of the test seam or of the tests'
#      side of the platform;
#   3. cpack -G DEB makes a .deb that declares its libraries, has the
#      programs in /usr/bin and the manual pages in /usr/share/man, and
#      whose unpacked Dorvane runs (usage text, exit 2);
#   4. cpack -G ZIP makes a zip with Dorvane.exe, the README and the
#      manual as text;
#   5. the scheduling examples pass systemd-analyze verify and xmllint, and
#      their pruning lines keep exactly the newest backups.
# Exits non-zero at the first failed check.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

started=$(date +%s)
# groff lints the manual pages and writes the manual as text; dpkg-dev has
# dpkg-shlibdeps, which CPack asks for the .deb's dependencies; systemd and
# libxml2-utils check the examples.
# shellcheck disable=SC2086 # the list is meant to split into words
ensure_packages $DORVANE_BASE_PACKAGES groff-base dpkg-dev binutils binutils-mingw-w64-x86-64 \
    systemd libxml2-utils
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-shipping.XXXXXX")
trap 'rm -rf "$work"' EXIT

# --- 1. Manual pages
for page in man/*.[0-9]; do
    lint=$(groff -man -ww -z "$page" 2>&1) || fail "groff cannot format $page: $lint"
    [ -z "$lint" ] || fail "groff -ww finds faults in $page: $lint"
done
say "manual pages: $(echo man/*.[0-9]) pass groff -ww"

# --- The two builds, configured as test.sh and ci-windows.sh do.
if [ ! -f build/CMakeCache.txt ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVANE_WERROR=ON
fi
cmake --build build -j "$build_jobs"
if [ ! -f build-windows/CMakeCache.txt ]; then
    cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DDORVANE_WERROR=ON
fi
cmake --build build-windows -j "$build_jobs"

# --- 2. No test code in the product
# Functions of the seam (seam::), of running programs (testprocess::) and
# the server-side socket calls of the tests (tests/support/TestSockets.h).
test_symbols=' (seam|testprocess)::|winsock::(bind|listen|accept|getsockname|SetLinger)\(|ForTesting'
check_symbols() {
    local nm=$1 program=$2 symbols found
    symbols=$("$nm" -C "$program") || fail "$nm cannot read $program"
    [ -n "$symbols" ] || fail "$program has no symbol table to check"
    found=$(grep -E "$test_symbols" <<<"$symbols" || true)
    [ -z "$found" ] || fail "$program carries test code: $found"
    say "$program: $(wc -l <<<"$symbols") symbols, none of the tests'"
}
check_symbols nm build/Dorvane
check_symbols x86_64-w64-mingw32-nm build-windows/Dorvane.exe

# --- 3. The .deb
rm -f build/dorvane_*.deb
(cd build && cpack -G DEB >"$work/cpack-deb.log" 2>&1) || fail "cpack -G DEB: $(cat "$work/cpack-deb.log")"
debs=(build/dorvane_*.deb)
[ -f "${debs[0]}" ] || fail "cpack -G DEB made no dorvane_*.deb: $(cat "$work/cpack-deb.log")"
deb=${debs[0]}
say "$deb:"
dpkg-deb --info "$deb" | sed 's/^/    /'
dpkg-deb --contents "$deb" | sed 's/^/    /'
depends=$(dpkg-deb --field "$deb" Depends)
for library in libmicrohttpd libsqlite3; do
    grep -q "$library" <<<"$depends" || fail "$deb does not depend on $library: $depends"
done
contents=$(dpkg-deb --contents "$deb")
for file in ./usr/bin/Dorvane ./usr/bin/BackupService ./usr/share/man/man1/Dorvane.1 \
    ./usr/share/man/man8/BackupService.8 ./usr/share/doc/dorvane/README.md; do
    grep -q " $file\$" <<<"$contents" || fail "$deb has no $file"
done
dpkg-deb -x "$deb" "$work/deb"
mkdir "$work/run"
code=0
(cd "$work/run" && TMPDIR="$work/run" "$work/deb/usr/bin/Dorvane" --help >"$work/usage.txt") || code=$?
[ "$code" -eq 2 ] || fail "the unpacked Dorvane exited with $code, not the usage text's 2"
printf 'First run the following command to generate a config file: \n\nDorvane.exe server_address email_address password\n\nThen run Dorvane.exe' >"$work/usage-expected.txt"
cmp -s "$work/usage.txt" "$work/usage-expected.txt" ||
    fail "the unpacked Dorvane printed another usage text: $(od -c "$work/usage.txt" | head -n 20)"
say "the unpacked Dorvane prints its usage text and exits with 2"

# --- 4. The zip
rm -f build-windows/dorvane-*-win64.zip
(cd build-windows && cpack -G ZIP >"$work/cpack-zip.log" 2>&1) || fail "cpack -G ZIP: $(cat "$work/cpack-zip.log")"
zips=(build-windows/dorvane-*-win64.zip)
[ -f "${zips[0]}" ] || fail "cpack -G ZIP made no dorvane-*-win64.zip: $(cat "$work/cpack-zip.log")"
zip=${zips[0]}
say "$zip:"
listing=$(cmake -E tar tf "$zip")
sed 's/^/    /' <<<"$listing"
for file in Dorvane.exe README.txt Dorvane-manual.txt dorvane-task.xml; do
    grep -q "/$file\$" <<<"$listing" || fail "$zip has no $file"
done
mkdir "$work/zip"
(cd "$work/zip" && cmake -E tar xf "$root/$zip")
manual=$(find "$work/zip" -name Dorvane-manual.txt)
grep -q "EXIT STATUS" "$manual" || fail "the manual text in $zip has no EXIT STATUS section"
if LC_ALL=C grep -q $'[\b\x1b]' "$manual"; then fail "the manual text in $zip has terminal escapes"; fi

# --- 5. Scheduling examples. systemd-analyze checks that the programs a
# unit runs exist: the units are checked with the unpacked .deb's.
mkdir "$work/units"
for unit in examples/*.service examples/*.timer; do
    sed -e "s|/usr/bin/Dorvane|$work/deb/usr/bin/Dorvane|g" -e 's|^#ExecStartPost=|ExecStartPost=|' \
        -e "s|/usr/bin/BackupService|$work/deb/usr/bin/BackupService|g" "$unit" >"$work/units/$(basename "$unit")"
done
verify=$(cd "$work/units" && systemd-analyze verify --man=no ./*.service ./*.timer 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
say "systemd units: $(cd examples && echo ./*.service ./*.timer) verified"
for xml in examples/*.xml; do
    xmllint --noout "$xml" || fail "xmllint: $xml is not well-formed"
done
say "XML: $(echo examples/*.xml) well-formed"

# The pruning lines of the systemd and cron examples, on 40 fake backups
# among other files: the newest 30 stay, and nothing else is touched.
backups=()
for day in $(seq -w 1 40); do backups+=("Database.202601${day}023000.db"); done
others=(Ostrel.cfg Database.1234.0a1b2c3d.part Database.2026010102300.db Database.202601010230000.db
    Database.20260101023000.db.bak xDatabase.20260101023000.db)
expected=$(printf '%s\n' "${backups[@]:10}" "${others[@]}" | LC_ALL=C sort)
for example in examples/dorvane-backup.service examples/dorvane.cron; do
    prune=$(grep -o 'ls -A | grep -Ex .* | xargs -r rm -f --' "$example") || fail "$example shows no pruning line"
    rm -rf "$work/prune" && mkdir "$work/prune"
    (cd "$work/prune" && touch "${backups[@]}" "${others[@]}" && sh -c "$prune")
    [ "$(ls -A "$work/prune" | LC_ALL=C sort)" = "$expected" ] || fail "$example's pruning leaves: $(ls -A "$work/prune")"
done
say "pruning lines keep the newest 30 of 40 backups and touch nothing else"

say "shipping checks passed in $(($(date +%s) - started))s"
