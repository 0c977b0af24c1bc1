#!/bin/sh
# Compiles the Windows back-end of the serial port with mingw-w64, so that it stays buildable from a
# machine without Windows. Exits nonzero when the compiler is missing or the code does not compile cleanly.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
compiler=${MINGW_CXX:-x86_64-w64-mingw32-g++}

if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "check-win32-serial: $compiler not found" >&2
    exit 2
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

"$compiler" -std=c++17 -Wall -Wextra -Werror -I"$root/connection/serial" \
    -c "$root/connection/serial/serialport_win.cpp" -o "$out/serialport_win.o"
echo "check-win32-serial: serialport_win.cpp compiles for Windows"
