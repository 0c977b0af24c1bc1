#!/usr/bin/env bash
# Runs the serial port contract (tests/serial/tst_serialportcontract.cpp) against the Windows back-end:
# builds the program with mingw-w64 (static, no Qt) and runs it under Wine, on COM ports that the same
# program's native build, as its peer, maps onto pseudo-terminals and plays the device on. Each run gets
# a scratch Wine prefix, whose first start (wineboot, about ten seconds) runs while the two builds do.
# Exits nonzero when a tool is missing, a build fails or a case fails.
# Usage: tools/check-win32-serial.sh [BUILD_DIR]   (default: build-wine)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "${1:-$root/build-wine}"
dir=$(cd "${1:-$root/build-wine}" && pwd)
mingw=${MINGW_CXX:-x86_64-w64-mingw32-g++}
native=${CXX:-g++}
# Debian's wine64 installs its loader and server outside PATH.
wine=${WINE:-/usr/lib/wine/wine64}
wineserver=${WINESERVER:-/usr/lib/wine/wineserver}
doctest=/usr/include/doctest/doctest.h

for tool in "$mingw" "$native" "$wine" "$wineserver"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "check-win32-serial: $tool not found" >&2
        exit 2
    fi
done
if [ ! -f "$doctest" ]; then
    echo "check-win32-serial: $doctest not found (doctest-dev)" >&2
    exit 2
fi

started=$(date +%s%N)
export WINEPREFIX
WINEPREFIX=$(mktemp -d "$dir/prefix.XXXXXX")
export WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix: the program needs neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
jobs=()
cleanup() {
    for job in "${jobs[@]}"; do
        kill "$job" 2>/dev/null || true
    done
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# Started here, so that the list of objects it prints when it ends goes to a log, not into the report.
"$wineserver" -p60 2>"$dir/wineserver.log"
"$wine" wineboot --init >"$dir/wineboot.log" 2>&1 &
boot=$!
jobs+=("$boot")

flags=(-std=c++17 -O1 -Wall -Wextra -Werror -I"$root/connection/serial" -I"$root/tests/serial")
contract=("$root/tests/serial/tst_serialportcontract.cpp" "$root/tests/serial/linepeer.cpp")
"$native" "${flags[@]}" "${contract[@]}" "$root/tests/serial/ptypeer.cpp" \
    "$root/connection/serial/serialport_posix.cpp" "$root/connection/serial/termiossettings.cpp" \
    "$root/connection/serial/portaccess_posix.cpp" "$root/connection/serial/portlock_posix.cpp" \
    -pthread -o "$dir/contract-peer" &
peer=$!
jobs+=("$peer")
# The cross compiler must not see the build machine's headers: only doctest's folder is offered to it.
mkdir -p "$dir/include"
ln -sfn "$(dirname "$doctest")" "$dir/include/doctest"
"$mingw" "${flags[@]}" -isystem "$dir/include" "${contract[@]}" "$root/connection/serial/serialport_win.cpp" \
    -static -o "$dir/contract.exe"
wait "$peer"
if ! wait "$boot"; then
    echo "check-win32-serial: wineboot failed, see $dir/wineboot.log" >&2
    exit 1
fi
jobs=()
built=$(date +%s%N)

status=0
timeout 300 "$dir/contract-peer" --peer "$WINEPREFIX/dosdevices" -- "$wine" "$dir/contract.exe" || status=$?
ended=$(date +%s%N)
if [ "$status" -ne 0 ]; then
    echo "check-win32-serial: the contract failed under Wine (exit status $status)" >&2
    exit 1
fi
echo "check-win32-serial: the contract holds for serialport_win.cpp under Wine" \
    "($(( (built - started) / 1000000 )) ms to build and boot, $(( (ended - built) / 1000000 )) ms to run)"
