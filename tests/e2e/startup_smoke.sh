#!/usr/bin/env bash
# The real launchers under X: a restore tool that cannot start brings up the warning, the user presses
# Enter, and the launcher ends without going on (exit code 1); a restore tool that leaves its marker ends
# the launcher without any window (exit code 0). Usage: startup_smoke.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
start_sandbox
export TOWAGI_OS_VERSION=10.0

for launcher in Qrd00up Plx00up; do
    program="$work/$launcher"
    make_program_folder "$program" "$bin"
    cd "$program"

    printf '#!/bin/sh\necho "[$*]" >> restore-ran.txt\n' > RestorCom.exe   # not executable
    "./$launcher" &
    pid=$!
    window=$(wait_for_window "警告")
    press_key "$window" Return
    expect_exit "$pid" 1 || { echo "FAIL: $launcher did not end as it should after the warning"; exit 1; }
    [ ! -e restore-ran.txt ] || { echo "FAIL: $launcher ran a tool that cannot start"; exit 1; }

    printf '#!/bin/sh\necho "[$*]" >> restore-ran.txt\ntouch RestorRegCompOrg.txt\n' > RestorCom.exe
    chmod +x RestorCom.exe
    "./$launcher" || { echo "FAIL: $launcher ended with $? after the restore tool's marker"; exit 1; }
    [ ! -e RestorRegCompOrg.txt ] || { echo "FAIL: $launcher left the marker"; exit 1; }
    want="[]"
    [ "$launcher" = Plx00up ] && want="[quil]"
    [ "$(cat restore-ran.txt)" = "$want" ] || { echo "FAIL: $launcher passed $(cat restore-ran.txt)"; exit 1; }
    cd "$work"
    echo "ok: $launcher"
done

# The cost edition connects to the suite's database at start; without one it warns, and the user goes on
# to the main program. The launcher tells whoever started it that it met a failure.
program="$work/no-database"
make_program_folder "$program" "$bin"
cd "$program"
./towagi-reg delete 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\DB_DATA' /f >/dev/null
printf '#!/bin/sh\ntouch main-started.txt\n' > Plx00cs.exe
chmod +x Plx00cs.exe
TOWAGI_OS_VERSION=6.1 ./Plx00up &
pid=$!
window=$(wait_for_window "警告")
press_key "$window" Return
expect_exit "$pid" 1 || { echo "FAIL: Plx00up did not end as it should after the database warning"; exit 1; }
for _ in $(seq 100); do [ -e main-started.txt ] && break; sleep 0.1; done
[ -e main-started.txt ] || { echo "FAIL: Plx00up did not start its main program without a database"; exit 1; }
# The warning's text is fixed; the trace log says why the connection failed.
trace_lines PLX00UP.LOG | grep -E '^ DataModuleCreate ; .+' >/dev/null ||
    { echo "FAIL: the trace log does not say why the database connection failed"; trace_lines PLX00UP.LOG; exit 1; }
cd "$work"
echo "ok: Plx00up without a database warns, traces why and goes on"

# No main program in the folder: the set-up is invalid, the user is told, the trace log says which check.
program="$work/no-main-program"
make_program_folder "$program" "$bin"
cd "$program"
TOWAGI_OS_VERSION=6.1 ./Qrd00up &
pid=$!
window=$(wait_for_window "警告")
press_key "$window" Return
expect_exit "$pid" 1 || { echo "FAIL: Qrd00up did not end as it should after the set-up warning"; exit 1; }
trace_lines TEMP/Qrd00up.log | grep -xF " FormClose ; セットアップ不正 : メインプログラム(Qrd0000.exe, Qrd00cs.exe)が[$program/]にありません" >/dev/null ||
    { echo "FAIL: the trace log does not say why the set-up is invalid"; trace_lines TEMP/Qrd00up.log; exit 1; }
cd "$work"
echo "ok: Qrd00up without a main program warns, traces why and ends with 1"
