#!/usr/bin/env bash
# LAN mode with the real launchers under X: a sandbox installation per edition with a stub main program,
# both hives and an update folder; the user answers the version-up question with Enter (はい).
# Usage: lan_mode.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
start_sandbox
# A system that reports major version 6: no repair step, and registry files go through "Reg import".
export TOWAGI_OS_VERSION=6.1
fail() { echo "FAIL ($launcher): $*"; exit 1; }

# lan_mode LAUNCHER MAIN_PROGRAM UPDATE_KEY UPDATE_VALUE TRACE_LOG
lan_mode() {
    launcher=$1
    local main=$2 key=$3 value=$4 trace=$5
    local root="$work/$launcher" program="$work/$launcher/program" update="$work/$launcher/update"
    export TOWAGI_MACHINE_HIVE="$root/machine.hive" TOWAGI_USER_HIVE="$root/user.hive"
    make_program_folder "$program" "$bin"
    mkdir -p "$update"
    cd "$program"
    printf '#!/bin/sh\ntouch main-started.txt\n' > "$main"
    chmod +x "$main"
    ./towagi-reg add "HKLM\\$key" /v "$value" /d "LAN|$update" /f >/dev/null
    # The per-user hive holds another folder; without the control table the machine hive decides.
    ./towagi-reg add "HKCU\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE" /v "$value" /d "LAN|$work/nowhere" /f >/dev/null
    echo "old" > Data.txt
    touch -d '2020-01-01 10:00:00' Data.txt
    echo "new" > "$update/Data.txt"
    touch -d '2024-05-01 12:34:57' "$update/Data.txt"
    echo "same" > Same.txt
    cp -p Same.txt "$update/Same.txt"
    echo "launcher" > "$update/$launcher"
    iconv -f UTF-8 -t CP932 > "$update/Update.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]
"更新日"="$launcher"
REG

    "./$launcher" &
    local pid=$! window
    window=$(wait_for_window "情報")
    press_key "$window" Return
    expect_exit "$pid" 0 || fail "the launcher did not end as it should"
    for _ in $(seq 100); do [ -e main-started.txt ] && break; sleep 0.1; done

    [ -e main-started.txt ] || fail "the main program was not started"
    [ "$(cat Data.txt)" = new ] || fail "Data.txt was not copied"
    # The copy keeps the time at two-second resolution.
    [ "$(stat -c %Y Data.txt)" = "$(date -d '2024-05-01 12:34:56' +%s)" ] || fail "Data.txt lost its time"
    cmp -s "$launcher" "$bin/$launcher" || fail "the launcher replaced its own file"
    [ -e Update.reg ] || fail "Update.reg was not copied"
    local imported=""
    for _ in $(seq 100); do
        imported=$(./towagi-reg query 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE' /v 更新日 2>/dev/null) && break
        sleep 0.1
    done
    grep -q "$launcher" <<<"$imported" || fail "Update.reg was not imported by the registry tool: $imported"
    local log
    log=$(iconv -f CP932 -t UTF-8 "$trace" | cut -d';' -f2- | tr -d '\r')
    grep -qx ' Local_CopyDirectory ; from\['"$update"'/Data.txt\] to\['"$program"'/Data.txt\]' <<<"$log" \
        || fail "no copy line in the trace log: $log"
    grep -qx ' Local_CopyDirectory ; 拡張子 .REG :\[ '"$program"'/Update.reg\]:Do=Reg import "'"$program"'/Update.reg"' \
        <<<"$log" || fail "no registry line in the trace log: $log"
    ! grep -q "from\[$update/Same.txt\]" <<<"$log" || fail "an unchanged file was copied"
    ! grep -q "from\[$update/$launcher\]" <<<"$log" || fail "the launcher's own file was copied"
    [ "$(tail -n 2 <<<"$log" | tr '\n' '|')" = ' FormClose ; Start| FormClose ; End|' ] \
        || fail "the close step did not end the log: $log"
    grep -qx ' FormShow ; End' <<<"$log" || fail "no show-step end line"
    echo "ok: LAN mode of $launcher"
}

lan_mode Qrd00up Qrd0000.exe 'Software\VORN\TOWAGI\PATH\UPDATE' PATH1 TEMP/Qrd00up.log
lan_mode Plx00up Plx00cs.exe 'Software\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE' PATHJ PLX00UP.LOG
