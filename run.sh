#!/usr/bin/env bash
# Installs what is missing, builds the tool and starts its window.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j"$(nproc)"
# Without a desktop session the window cannot open; the same calibration then runs on the
# simulated controller from the command line.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display available: running the command-line calibration of the simulated controller instead."
    echo "(build/vkr-calibrate sim:demo; start ./run.sh from a desktop session for the window)"
    exec build/vkr-calibrate sim:demo
fi
exec build/vkr-calibrator "$@"
