# Shared by scripts/test and scripts/demo: install what the project needs from Debian, then build.
# shellcheck shell=bash

TOWAGI_PACKAGES=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libsqlite3-dev sqlite3 libgtest-dev libgmock-dev
    xvfb xdotool x11-utils imagemagick fonts-ipafont fontconfig
    python3 iproute2
    libpoco-dev python3-pyftpdlib vsftpd curl
    firebird-dev libfbclient2 firebird3.0-server-core firebird3.0-utils firebird3.0-server
    libarchive-dev 7zip
    lintian openbox
)

install_packages() {
    local missing=()
    for package in "${TOWAGI_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "Installing from Debian: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]
build_project() {
    local dir=$1
    shift
    cmake -S "$TOWAGI_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# Starts Xvfb on a free display when none is set; the display is stopped when the script exits.
ensure_display() {
    [ -n "${DISPLAY:-}" ] && return 0
    local display
    for display in $(seq 90 120); do
        [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ] || break
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    TOWAGI_XVFB_PID=$!
    trap 'kill "$TOWAGI_XVFB_PID" 2>/dev/null || true' EXIT
    export DISPLAY=":$display"
    for _ in $(seq 50); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "Xvfb did not start on $DISPLAY" >&2
    return 1
}
