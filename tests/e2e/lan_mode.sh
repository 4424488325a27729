#!/usr/bin/env bash
# LAN mode with the real launcher under X: a sandbox installation with a stub main program, both hives and
# an update folder; the user answers the version-up question with Enter (はい). Usage: lan_mode.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
start_sandbox
export TOWAGI_OS_VERSION=6.1
fail() { echo "FAIL: $*"; exit 1; }

program="$work/program"
update="$work/update"
make_program_folder "$program" "$bin"
mkdir -p "$update"
cd "$program"
printf '#!/bin/sh\ntouch main-started.txt\n' > Qrd0000.exe
chmod +x Qrd0000.exe
./towagi-reg add 'HKLM\Software\VORN\TOWAGI\PATH\UPDATE' /v PATH1 /d "LAN|$update" /f >/dev/null
echo "old" > Data.txt
touch -d '2020-01-01 10:00:00' Data.txt
echo "new" > "$update/Data.txt"
touch -d '2024-05-01 12:34:57' "$update/Data.txt"
echo "launcher" > "$update/Qrd00up"

./Qrd00up &
pid=$!
window=$(wait_for_window "情報")
press_key "$window" Return
wait_for_exit "$pid" || fail "the launcher did not end"
for _ in $(seq 100); do [ -e main-started.txt ] && break; sleep 0.1; done

[ -e main-started.txt ] || fail "the main program was not started"
[ "$(cat Data.txt)" = new ] || fail "Data.txt was not copied"
[ "$(stat -c %Y Data.txt)" = "$(date -d '2024-05-01 12:34:56' +%s)" ] || fail "Data.txt lost its time"
cmp -s Qrd00up "$bin/Qrd00up" || fail "the launcher replaced its own file"
log=$(iconv -f CP932 -t UTF-8 TEMP/Qrd00up.log | cut -d';' -f2- | tr -d '\r')
grep -qx ' Local_CopyDirectory ; from\['"$update"'/Data.txt\] to\['"$program"'/Data.txt\]' <<<"$log" \
    || fail "no copy line in the trace log: $log"
grep -qx ' FormClose ; End' <<<"$log" || fail "no close line in the trace log"
echo "ok: LAN mode"
