#!/usr/bin/env bash
# The workstation repairs of start-up with the real launchers under X, on a current system, for both
# editions. The loaded units come from a fake systemctl without either Firebird service (the machine's unit
# files name neither); a
# fake pkexec records what it was asked to run (used when the tests do not run as root) and runs it.
#   declined   the Firebird folder is unpacked from its archive, the recovery window appears and the user
#              closes it with its close box: the launcher ends, nothing is installed, no main program
#   confirmed  the user clicks the window's button: install_nt.bat runs with administrator rights and the
#              launcher goes on to the main program
#   damaged    a damaged archive: "書庫が壊れています", no recovery window, the launcher goes on
#   registry   a registry file with a bad dword: the error box names it, nothing of it is written, it gets
#              no import-log line but the trace log names it, and the launcher goes on
# Usage: startup_repairs.sh BIN_DIR CASE
set -euo pipefail
bin=$(cd "$1" && pwd)
case_name=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
start_sandbox
export TOWAGI_OS_VERSION=10.0
# The fake systemctl stands for a running systemd, which is asked for its loaded units.
export TOWAGI_SERVICE_MANAGER=systemd
fail() { echo "FAIL ($launcher, $case_name): $*"; exit 1; }

mkdir -p "$work/bin"
cat > "$work/bin/systemctl" <<'SH'
#!/bin/sh
[ "$1" = list-units ] && echo "cron.service loaded active running Regular background program processing daemon"
exit 0
SH
cat > "$work/bin/pkexec" <<SH
#!/bin/sh
echo "\$@" >> "$work/pkexec-runs.txt"
exec "\$@"
SH
chmod +x "$work/bin/systemctl" "$work/bin/pkexec"
export PATH="$work/bin:$PATH"

# firebird_archive FILE DAMAGED: the Firebird folder as a ZIP archive; its script records each run.
firebird_archive() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import sys, zipfile
script = b'@echo off\r\nrem registers the database services\r\necho installed>> "%~dp0installed.txt"\r\n'
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as archive:
    archive.writestr("FireBird_1_5/", b"")
    archive.writestr("FireBird_1_5/bin/", b"")
    archive.writestr("FireBird_1_5/bin/install_nt.bat", script)
if sys.argv[2] == "damaged":
    data = bytearray(open(sys.argv[1], "rb").read())
    data[data.find(b"registers")] ^= 0x01
    open(sys.argv[1], "wb").write(data)
PY
}

# main_started [SECONDS]: whether the stub main program ran (it is started without waiting).
main_started() {
    for _ in $(seq $((${1:-10} * 10))); do [ -e "$program/main-started.txt" ] && return 0; sleep 0.1; done
    return 1
}

# goes_on_after TITLE WHAT: the launcher shows a box of that title, the user presses Enter, and the launcher
# goes on to the main program.
goes_on_after() {
    "./$launcher" &
    local pid=$! window
    window=$(wait_for_window "$1")
    press_key "$window" Return
    # The error box was a failure told to the user, which the exit code says although the launcher went on.
    expect_exit "$pid" 1 60 || fail "after $2"
    main_started || fail "the main program was not started after $2"
}

run_case() {
    launcher=$1
    local main=$2 caption=$3 importlog=$4 trace=$5
    local root="$work/$launcher"
    program="$root/program"
    export TOWAGI_MACHINE_HIVE="$root/machine.hive" TOWAGI_USER_HIVE="$root/user.hive"
    make_program_folder "$program" "$bin"
    cd "$program"
    printf '#!/bin/sh\ntouch main-started.txt\n' > "$main"
    chmod +x "$main"
    rm -f "$work/pkexec-runs.txt"

    case $case_name in
    declined)
        firebird_archive "$program/FireBird_1_5" good
        "./$launcher" &
        local pid=$! window
        window=$(wait_for_window "$caption")
        [ "$(xdotool getwindowgeometry "$window" | sed -n 's/^ *Geometry: //p')" = 592x303 ] ||
            fail "the recovery window is not 592x303"
        [ -f "$root/FireBird_1_5/bin/install_nt.bat" ] || fail "the archive was not unpacked beside the program folder"
        close_box "$window"
        expect_exit "$pid" 1 || fail "after the close box"
        # A launcher that ended has started its main program already if it ever would.
        ! main_started 2 || fail "the main program was started"
        [ ! -e "$root/FireBird_1_5/bin/installed.txt" ] || fail "the installation script ran"
        [ ! -e "$work/pkexec-runs.txt" ] || fail "administrator rights were asked for"
        ;;
    confirmed)
        firebird_archive "$work/archive.zip" good
        (cd "$root" && /usr/bin/python3 -m zipfile -e "$work/archive.zip" .)
        "./$launcher" &
        local pid=$! window
        window=$(wait_for_window "$caption")
        # The user clicks 「Firebirdサービス再登録開始」 in the lower panel.
        xdotool mousemove --window "$window" 294 269 click 1
        wait_for_exit "$pid" 60 || fail "the launcher did not end"
        main_started || fail "the main program was not started after the repair"
        [ "$(tr -d '\r' < "$root/FireBird_1_5/bin/installed.txt" 2>/dev/null)" = "installed" ] ||
            fail "the installation script did not run once"
        if [ "$(id -u)" -ne 0 ]; then
            [ "$(cat "$work/pkexec-runs.txt")" = "$program/towagi-bat $root/FireBird_1_5/bin/install_nt.bat" ] ||
                fail "pkexec ran [$(cat "$work/pkexec-runs.txt" 2>/dev/null)]"
        fi
        ;;
    damaged)
        firebird_archive "$program/FireBird_1_5" damaged
        goes_on_after "$launcher" "the damaged archive"
        [ ! -e "$root/FireBird_1_5" ] || fail "a damaged archive was unpacked"
        ;;
    registry)
        { printf 'Windows Registry Editor Version 5.00\r\n\r\n'
          printf '[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n"良い"="%s"\r\n' "$launcher"
        } | iconv -f UTF-8 -t CP932 > Good.reg
        touch -d '2024-05-01 12:00:00' Good.reg
        printf '[HKEY_LOCAL_MACHINE\\Software\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE]\r\n"Before"="1"\r\n"Count"=dword:xyz\r\n' > Bad.reg
        touch -d '2024-05-02 12:00:00' Bad.reg
        goes_on_after "エラー" "the bad registry file"
        ./towagi-reg query 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE' /v 良い | grep -q "$launcher" ||
            fail "Good.reg was not applied"
        ! ./towagi-reg query 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\UPDATE' /v Before >/dev/null 2>&1 ||
            fail "a value of Bad.reg was written"
        [ "$(iconv -f CP932 -t UTF-8 "$importlog")" = "$(printf '2024/05/01 12:00:00|Good.reg\r')" ] ||
            fail "the import log holds [$(cat "$importlog")]"
        trace_lines "$trace" | grep -qxF " ImportFolder ; レジストリファイル[$program/Bad.reg]の値[dword:xyz]は32ビットの16進数ではありません" ||
            fail "the trace log does not name Bad.reg"
        ;;
    *)
        echo "unknown case $case_name"
        exit 2
        ;;
    esac
    [ ! -e FbFindBat.bat ] && [ ! -e FbFindTxt.txt ] || fail "the service query left its files"
    cd "$work"
    echo "ok: $launcher $case_name"
}

run_case Qrd00up Qrd0000.exe "積算『とわぎ』 FireBirdサービス復旧" Qrd00up_reg.log TEMP/Qrd00up.log
run_case Plx00up Plx00cs.exe "原価『とわぎ』 FireBirdサービス復旧" Plx00up_reg.log PLX00UP.LOG
