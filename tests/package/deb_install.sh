#!/usr/bin/env bash
# The installations: the Debian package built by cpack from the build tree (lintian finds no error, the
# dependencies are declared, the programs are stripped and their symbols are in the -dbgsym package),
# unpacked into a fresh root folder with dpkg -x, where the launcher starts under X, updates from a LAN
# folder and starts the main program; and `cmake --install` with the default prefix, which puts the
# programs into one folder below it.
# Usage: deb_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../e2e/lib.sh"
start_sandbox
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" > "$work/cpack.txt" 2>&1 ||
    { cat "$work/cpack.txt"; fail "cpack did not build the package"; }
shopt -s nullglob
debs=("$work"/out/towagi-launcher_*.deb)
ddebs=("$work"/out/towagi-launcher-dbgsym_*.ddeb)
shopt -u nullglob
[ ${#debs[@]} = 1 ] || fail "no single package: $(ls "$work/out")"
[ ${#ddebs[@]} = 1 ] || fail "no debug symbol package: $(ls "$work/out")"
deb=${debs[0]}

# lintian: errors fail; warnings and the rest are shown.
lintian --fail-on error "$deb" > "$work/lintian.txt" 2>&1 || { cat "$work/lintian.txt"; fail "lintian found errors"; }
[ ! -s "$work/lintian.txt" ] || { echo "-- lintian:"; cat "$work/lintian.txt"; }

depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6widgets6 'libpoconet[0-9]' libarchive13 libsqlite3-0 libfbclient2 firebird3.0-server-core \
    qt6-qpa-plugins fonts-ipafont 7zip; do
    grep -Eq "(^|, )$package" <<<"$depends" || fail "the package does not depend on $package: $depends"
done

root=$work/root
dpkg -x "$deb" "$root"
program=$root/opt/towagi
for file in Qrd00up Plx00up towagi-reg towagi-bat lib7-zip32.so libunlha32.so towagi-fonts.conf; do
    [ -f "$program/$file" ] || fail "$file is not in /opt/towagi"
done
[ "$(readlink "$root/usr/bin/towagi-reg")" = /opt/towagi/towagi-reg ] || fail "towagi-reg is not on PATH"
[ -s "$root/usr/share/man/man1/towagi-reg.1.gz" ] || fail "no manual page"
zcat "$root/usr/share/man/man1/towagi-reg.1.gz" | grep '^\.SH ENVIRONMENT' >/dev/null || fail "the manual page is not the tool's"
for launcher in qrd00up plx00up; do
    [ -s "$root/usr/share/icons/hicolor/scalable/apps/towagi-$launcher.svg" ] || fail "no icon for $launcher"
done
entry() { grep -xF -- "$2" "$root/usr/share/applications/towagi-$1.desktop" >/dev/null || fail "towagi-$1.desktop has no line $2"; }
entry qrd00up 'Name[ja]=積算『とわぎ』'
entry qrd00up 'Exec=/opt/towagi/Qrd00up'
entry qrd00up 'Path=/opt/towagi'
entry qrd00up 'Icon=towagi-qrd00up'
entry plx00up 'Name[ja]=原価『とわぎ』q-uil'
entry plx00up 'Exec=/opt/towagi/Plx00up'
entry plx00up 'Icon=towagi-plx00up'
grep -F '<annotate key="org.freedesktop.policykit.exec.path">/opt/towagi/towagi-bat</annotate>' \
    "$root/usr/share/polkit-1/actions/org.towagi.launcher.service-repair.policy" >/dev/null ||
    fail "the polkit action does not name the batch runner"

# Stripped programs; the debug package holds each one's symbols under its build id.
dpkg -x "${ddebs[0]}" "$work/dbgsym"
for file in Qrd00up Plx00up towagi-reg towagi-bat lib7-zip32.so libunlha32.so; do
    ! readelf -S "$program/$file" | grep -E '\.(symtab|debug_info)' >/dev/null || fail "$file is not stripped"
    id=$(readelf -n "$program/$file" | sed -n 's/^ *Build ID: //p')
    [ -n "$id" ] || fail "$file has no build id"
    symbols=$work/dbgsym/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
    readelf -S "$symbols" 2>/dev/null | grep '\.debug_info' >/dev/null || fail "no debug symbols of $file in the -dbgsym package"
done

# The unpacked launcher at work: a LAN update folder with a newer file, the question answered Yes, the file
# copied into the program folder and the stub main program started.
[ "$("$program/Qrd00up" --version)" = "$("$build/bin/Qrd00up" --version)" ] || fail "the unpacked launcher tells another version"
update=$work/update
mkdir -p "$update"
echo "new help text" > "$update/Help.txt"
touch -d '2 hours ago' "$update/Help.txt"
import_registry "$program/towagi-reg" <<REG
[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\PATH\\UPDATE]
"PATH1"="LAN|$update"
REG
printf '#!/bin/sh\ntouch main-started.txt\n' > "$program/Qrd0000.exe"
chmod +x "$program/Qrd0000.exe"
cd "$program"
TOWAGI_OS_VERSION=6.1 ./Qrd00up &
pid=$!
window=$(wait_for_window "情報") || fail "the unpacked launcher showed no question"
press_key "$window" Return
expect_exit "$pid" 0 60 || fail "the unpacked launcher did not end as it should"
wait_for_file main-started.txt || fail "the unpacked launcher did not start the main program"
cmp -s "$update/Help.txt" Help.txt || fail "the update was not applied"
cd "$work"
echo "ok: the package builds, lintian finds no error, and the unpacked launcher updates and starts the suite"

# cmake --install with the default prefix: one program folder below it, nothing loose in the prefix.
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
DESTDIR=$work/destdir cmake --install "$build" >/dev/null
top=$work/destdir$prefix
[ "$(cd "$top" && ls | tr '\n' ' ')" = "bin lib share " ] || fail "cmake --install put into $prefix: $(ls "$top")"
for file in Qrd00up Plx00up towagi-reg towagi-bat lib7-zip32.so libunlha32.so towagi-fonts.conf; do
    [ -f "$top/lib/towagi/$file" ] || fail "$file is not in $prefix/lib/towagi"
done
[ "$(readlink "$top/bin/towagi-reg")" = ../lib/towagi/towagi-reg ] || fail "bin/towagi-reg does not point into the program folder"
grep -qxF "Exec=$prefix/lib/towagi/Qrd00up" "$top/share/applications/towagi-qrd00up.desktop" ||
    fail "the installed desktop entry does not name $prefix/lib/towagi"
# Another prefix chosen at install time is the one the desktop entries name.
cmake --install "$build" --prefix "$work/elsewhere" >/dev/null
grep -qxF "Exec=$work/elsewhere/lib/towagi/Plx00up" "$work/elsewhere/share/applications/towagi-plx00up.desktop" ||
    fail "the desktop entry does not follow --prefix"
echo "ok: cmake --install puts the programs into $prefix/lib/towagi"
