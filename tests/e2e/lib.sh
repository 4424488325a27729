# Helpers for the end-to-end scripts: a demo program folder, private hives, and a user at the screen.
# shellcheck shell=bash

# make_program_folder DIR BIN_DIR: the launchers and their companions in DIR, as an installation has them.
make_program_folder() {
    local dir=$1 bin=$2
    mkdir -p "$dir"
    cp "$bin/Qrd00up" "$bin/Plx00up" "$bin/towagi-reg" "$bin/towagi-fonts.conf" "$dir/"
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

# start_sandbox: a private work folder ($work, removed at exit) with its own hives, the real X display.
start_sandbox() {
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    export TOWAGI_MACHINE_HIVE="$work/machine.hive" TOWAGI_USER_HIVE="$work/user.hive"
    unset QT_QPA_PLATFORM
    [ -n "${DISPLAY:-}" ] || { echo "needs an X display (Xvfb)"; exit 1; }
}
