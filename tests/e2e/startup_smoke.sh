#!/usr/bin/env bash
# The real launchers under X: a restore tool that cannot start brings up the warning, the user presses
# Enter, and the launcher ends without going on; a restore tool that leaves its marker ends the launcher
# without any window. Usage: startup_smoke.sh BIN_DIR
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
    wait_for_exit "$pid" || { echo "FAIL: $launcher did not end after the warning"; exit 1; }
    [ ! -e restore-ran.txt ] || { echo "FAIL: $launcher ran a tool that cannot start"; exit 1; }

    printf '#!/bin/sh\necho "[$*]" >> restore-ran.txt\ntouch RestorRegCompOrg.txt\n' > RestorCom.exe
    chmod +x RestorCom.exe
    "./$launcher"
    [ ! -e RestorRegCompOrg.txt ] || { echo "FAIL: $launcher left the marker"; exit 1; }
    want="[]"
    [ "$launcher" = Plx00up ] && want="[quil]"
    [ "$(cat restore-ran.txt)" = "$want" ] || { echo "FAIL: $launcher passed $(cat restore-ran.txt)"; exit 1; }
    cd "$work"
    echo "ok: $launcher"
done

# The cost edition connects to the suite's database at start; without one it warns, and the user goes on
# to the main program.
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
wait_for_exit "$pid" || { echo "FAIL: Plx00up did not end after the database warning"; exit 1; }
for _ in $(seq 100); do [ -e main-started.txt ] && break; sleep 0.1; done
[ -e main-started.txt ] || { echo "FAIL: Plx00up did not start its main program without a database"; exit 1; }
cd "$work"
echo "ok: Plx00up without a database warns and goes on"
