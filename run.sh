#!/usr/bin/env bash
# Installs what is missing, builds the tool (not the tests: those are ./test.sh's) and starts its
# window, while vkr-calibrate and the serial simulator vkr-sim are built behind it; without a
# reachable display, the command-line calibration of the simulated controller, with vkr-sim built
# behind that.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

# A new build folder is a Release build: without debug information to write, the first build is
# about a quarter faster. A folder configured before keeps its build type.
build_type=()
[ -f build/CMakeCache.txt ] || build_type=(-DCMAKE_BUILD_TYPE=Release)
cmake -S . -B build -G Ninja "${build_type[@]}" >/dev/null
# One build at a time in the folder, this script's own background build included.
build() {
    flock build/.run.lock nice -n "${niceness:-0}" cmake --build build -j"$(nproc)" --target "$@"
}
build vkr-calibrator VKRControl OrvaneIO

# True when the X display named by DISPLAY answers: its local socket exists, or its TCP port (an
# ssh -X forwarding) takes a connection. A DISPLAY left over from an old session fails here
# instead of making the window abort.
x_display_reachable() {
    local display=${DISPLAY:-}
    [ -n "$display" ] || return 1
    local host=${display%%:*}
    local number=${display#*:}
    number=${number%%.*}
    case $number in '' | *[!0-9]*) return 1 ;; esac
    if [ -z "$host" ] || [ "$host" = unix ]; then
        [ -S "/tmp/.X11-unix/X$number" ]
    else
        timeout 2 bash -c "exec 3<>/dev/tcp/$host/$((6000 + number))" 2>/dev/null
    fi
}

wayland_display_reachable() {
    [ -n "${WAYLAND_DISPLAY:-}" ] && [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY" ]
}

if [ -n "${QT_QPA_PLATFORM:-}" ] || x_display_reachable || wayland_display_reachable; then
    echo "Building vkr-calibrate and vkr-sim behind the window, at low priority: build/run-build.log"
    (niceness=10 build vkr-calibrate vkr-sim >build/run-build.log 2>&1 </dev/null &)
    exec build/vkr-calibrator "$@"
fi
# The demo needs vkr-calibrate only; vkr-sim, the serial simulator the README goes on with, is
# built behind it as it is behind the window.
build vkr-calibrate
echo "Building vkr-sim behind the demo, at low priority: build/run-build.log"
(niceness=10 build vkr-sim >build/run-build.log 2>&1 </dev/null &)
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "The display ${DISPLAY:-$WAYLAND_DISPLAY} cannot be reached (a session that has ended?): running the command-line calibration of the simulated controller instead."
else
    echo "No display available: running the command-line calibration of the simulated controller instead."
fi
echo "(build/vkr-calibrate sim:demo; start ./run.sh from a desktop session for the window)"
exec build/vkr-calibrate sim:demo
