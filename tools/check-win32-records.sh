#!/usr/bin/env bash
# Compiles the Windows half of the records' file layer (records/filecalls_win.cpp) and the files
# built on it with mingw-w64, so that it cannot rot on a Linux machine. Compiles only: what the
# calls do is tested on Linux through the POSIX half.
# Usage: tools/check-win32-records.sh [BUILD_DIR]   (default: build-wine)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-wine}/records
mkdir -p "$dir"
# The POSIX thread model: the background writer uses std::thread and std::mutex.
mingw=${MINGW_CXX_POSIX:-x86_64-w64-mingw32-g++-posix}
if ! command -v "$mingw" >/dev/null 2>&1; then
    echo "check-win32-records: $mingw not found (g++-mingw-w64-x86-64)" >&2
    exit 2
fi
for source in filecalls.cpp filecalls_win.cpp lockwait.cpp durablelinefile.cpp backgroundfilewriter.cpp; do
    "$mingw" -std=c++17 -O1 -Wall -Wextra -Werror -c "$root/records/$source" -o "$dir/${source%.cpp}.o"
done
echo "check-win32-records: the Windows half of the file layer compiles"
