# Helpers for the end-to-end scripts: a demo program folder, private hives, and a user at the screen.
# shellcheck shell=bash

# The windows' titles are Japanese: xdotool matches them only in a UTF-8 locale, which a fresh account's
# "POSIX" is not.
[ "$(locale charmap 2>/dev/null)" = UTF-8 ] || export LC_ALL=C.UTF-8

# The embedded Firebird engine's lock folder, the one the launchers use (FIREBIRD_LOCK, else this user's
# own /tmp/towagi-firebird-<uid>): every program that opens a database file must lock in the same folder.
engine_lock_dir() {
    if [ -z "${FIREBIRD_LOCK:-}" ]; then
        FIREBIRD_LOCK=/tmp/towagi-firebird-$(id -u)
        mkdir -p -m 0700 "$FIREBIRD_LOCK"
        if [ -L "$FIREBIRD_LOCK" ] || [ ! -O "$FIREBIRD_LOCK" ]; then
            echo "$FIREBIRD_LOCK is not this user's own folder" >&2
            return 1
        fi
    fi
    export FIREBIRD_LOCK
    export FIREBIRD_TMP=${FIREBIRD_TMP:-$FIREBIRD_LOCK}
}

# make_program_folder DIR BIN_DIR: the launchers and their companions in DIR, as an installation has them,
# with the suite's database (suite_database).
make_program_folder() {
    local dir=$1 bin=$2
    mkdir -p "$dir"
    cp "$bin/Qrd00up" "$bin/Plx00up" "$bin/towagi-reg" "$bin/towagi-bat" "$bin/towagi-fonts.conf" \
        "$bin/lib7-zip32.so" "$bin/libunlha32.so" "$dir/"
    suite_database "$dir"
}

# suite_database DIR: an empty dialect-1 database DIR/DATA/SUITE.FDB made with Firebird's isql (embedded),
# selected for the suite's own connections: SELECT 12 under PATH\DB_DATA, whose slot PATH12 has no branch,
# so the master steps pass it by. The cost edition connects to it at start-up.
suite_database() {
    local dir=$1 database=$1/DATA/SUITE.FDB
    mkdir -p "$dir/DATA"
    engine_lock_dir
    echo "CREATE DATABASE '$database' USER 'SYSDBA' PASSWORD 'pinewharf';" |
        isql-fb -q -sqldialect 1 >/dev/null
    "$dir/towagi-reg" add 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\DB_DATA' /v SELECT /d 12 /f >/dev/null
    "$dir/towagi-reg" add 'HKLM\Software\VORN\TOWAGI\RUVOZEZ\PATH\DB_DATA' /v PATH12 /d "|$database" /f >/dev/null
}

# wait_for_window NAME [SECONDS]: prints the id of the first visible window with that title.
wait_for_window() {
    local name=$1 seconds=${2:-20} id
    for _ in $(seq $((seconds * 10))); do
        id=$(xdotool search --onlyvisible --name "^$name\$" 2>/dev/null | head -n 1)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        sleep 0.1
    done
    echo "no window named $name appeared" >&2
    return 1
}

# press_key WINDOW KEY: gives the window the keyboard and presses the key, as a user would.
press_key() {
    xdotool windowfocus --sync "$1" 2>/dev/null || xdotool windowfocus "$1"
    xdotool key --clearmodifiers "$2"
}

# close_box WINDOW: what a click on the window's close box makes the window manager send: the request to
# close (WM_DELETE_WINDOW). Xvfb runs no window manager, so it is sent directly.
close_box() {
    /usr/bin/python3 - "$1" <<'PY'
import ctypes, sys
x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

display = x11.XOpenDisplay(None)
if not display:
    sys.exit("no X display")
event = Event()
event.xclient.type = 33  # ClientMessage
event.xclient.window = int(sys.argv[1])
event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
event.xclient.format = 32
event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
x11.XSendEvent(display, event.xclient.window, 0, 0, ctypes.byref(event))
x11.XFlush(display)
x11.XCloseDisplay(display)
PY
}

# screenshot FILE: the whole screen as a PNG.
screenshot() {
    import -window root "$1"
}

# wait_for_exit PID [SECONDS]: the process's exit code, or failure when it does not end in time.
wait_for_exit() {
    local pid=$1 seconds=${2:-20}
    for _ in $(seq $((seconds * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid"
            return $?
        fi
        sleep 0.1
    done
    echo "process $pid did not end" >&2
    kill "$pid" 2>/dev/null
    return 124
}

# expect_exit PID WANT [SECONDS]: succeeds when the process ends in time with exit code WANT (0 for a run
# that went as it should, 1 for one that told the user of a failure); otherwise says what happened.
expect_exit() {
    local code=0
    wait_for_exit "$1" "${3:-20}" || code=$?
    [ "$code" = "$2" ] && return 0
    if [ "$code" = 124 ]; then echo "the launcher did not end" >&2; else echo "exit code $code, not $2" >&2; fi
    return 1
}

# at_exit COMMAND: runs COMMAND when the script ends, before those registered earlier. An EXIT trap set
# before the first call (scripts/lib.sh stops its Xvfb that way) is kept and runs last.
_e2e_exit_actions=()
_e2e_run_exit_actions() {
    local i
    for ((i = ${#_e2e_exit_actions[@]} - 1; i >= 0; i--)); do
        eval "${_e2e_exit_actions[i]}" || true
    done
}
at_exit() {
    local action=$1
    if [ ${#_e2e_exit_actions[@]} -eq 0 ]; then
        local current
        current=$(trap -p EXIT)
        if [ -n "$current" ]; then
            # "trap -- 'COMMAND' EXIT": the third word is the command.
            eval "set -- $current"
            _e2e_exit_actions+=("$3")
        fi
        trap _e2e_run_exit_actions EXIT
    fi
    _e2e_exit_actions+=("$action")
}

# start_sandbox: a private work folder ($work, removed at exit) with its own hives, the real X display.
start_sandbox() {
    work=$(mktemp -d)
    at_exit 'rm -rf "$work"'
    export TOWAGI_MACHINE_HIVE="$work/machine.hive" TOWAGI_USER_HIVE="$work/user.hive"
    unset QT_QPA_PLATFORM
    [ -n "${DISPLAY:-}" ] || { echo "needs an X display (Xvfb)"; exit 1; }
}

# wait_for_file FILE [SECONDS]: succeeds once FILE exists.
wait_for_file() {
    local file=$1 seconds=${2:-20}
    for _ in $(seq $((seconds * 10))); do
        [ -e "$file" ] && return 0
        sleep 0.1
    done
    return 1
}

# trace_lines LOG: the launcher's trace log (CP932 on disk) in UTF-8, one " Operation ; text" a line,
# without the time stamps.
trace_lines() {
    iconv -f CP932 -t UTF-8 "$1" | cut -d';' -f2- | tr -d '\r'
}

# wait_for_trace LOG TEXT [SECONDS]: succeeds once a line of the trace log contains TEXT.
wait_for_trace() {
    local log=$1 text=$2 seconds=${3:-20}
    for _ in $(seq $((seconds * 10))); do
        [ -e "$log" ] && trace_lines "$log" 2>/dev/null | grep -F -- "$text" >/dev/null && return 0
        sleep 0.1
    done
    echo "no trace line with [$text]" >&2
    return 1
}

# import_registry TOOL: imports the registry file given on standard input (written here in UTF-8, stored
# in CP932 as the suite's files are) with the program folder's towagi-reg TOOL.
import_registry() {
    local file
    file=$(mktemp --suffix=.reg)
    { printf 'Windows Registry Editor Version 5.00\n\n'; cat; } | iconv -f UTF-8 -t CP932 > "$file"
    "$1" import "$file" >/dev/null
    rm -f "$file"
}

# start_ftp_server ROOT [FAULT OPTIONS...]: the project's fault-injecting FTP server on 127.0.0.1 serving
# ROOT with CP932 names to the user towagi (password secret); sets ftp_port and ftp_pid. Every server
# still running at exit is stopped then.
_e2e_servers_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../servers" && pwd)
_e2e_ftp_pids=()
_e2e_stop_ftp_servers() {
    local pid
    for pid in "${_e2e_ftp_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
start_ftp_server() {
    local root=$1 out
    shift
    out=$(mktemp)
    [ ${#_e2e_ftp_pids[@]} -gt 0 ] || at_exit _e2e_stop_ftp_servers
    /usr/bin/python3 "$_e2e_servers_dir/fault_ftpd.py" --root "$root" --encoding cp932 "$@" > "$out" 2>&1 &
    ftp_pid=$!
    _e2e_ftp_pids+=("$ftp_pid")
    ftp_port=
    for _ in $(seq 300); do
        ftp_port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$out")
        [ -n "$ftp_port" ] && break
        kill -0 "$ftp_pid" 2>/dev/null || break
        sleep 0.05
    done
    [ -n "$ftp_port" ] || echo "the FTP server did not start: $(cat "$out")" >&2
    rm -f "$out"
    [ -n "$ftp_port" ]
}

# stop_ftp_server: stops the server started last.
stop_ftp_server() {
    kill "$ftp_pid" 2>/dev/null || true
    wait "$ftp_pid" 2>/dev/null || true
    local pid kept=()
    for pid in "${_e2e_ftp_pids[@]}"; do [ "$pid" = "$ftp_pid" ] || kept+=("$pid"); done
    _e2e_ftp_pids=("${kept[@]}")
}

# progress_window [SECONDS]: prints the id of the launcher's progress window (its only 426x136 window).
progress_window() {
    local seconds=${1:-20} id
    for _ in $(seq $((seconds * 10))); do
        for id in $(xdotool search --onlyvisible --name 'とわぎ』の起動' 2>/dev/null); do
            if [ "$(xdotool getwindowgeometry "$id" 2>/dev/null | sed -n 's/^ *Geometry: //p')" = 426x136 ]; then
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    echo "no progress window appeared" >&2
    return 1
}

# press_cancel WINDOW: clicks the progress window's ｷｬﾝｾﾙ button with the mouse, as the user would.
press_cancel() {
    xdotool windowraise "$1"
    xdotool mousemove --window "$1" 220 118 click 1
}
