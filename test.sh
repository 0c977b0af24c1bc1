#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three ways: against Qt 5,
# against Qt 6, and against Qt 5 under AddressSanitizer and UndefinedBehaviorSanitizer; then the
# threaded tests under ThreadSanitizer and, briefly, the fuzzers; last, the Debian package is made
# and checked. Before all that, every C++ file is checked against .clang-format and the Windows
# serial back-end runs the serial port contract under Wine.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
# Qt Serial Port is for the protocol benchmark's anchor only; the tool does not use it.
ensure_packages "${BUILD_PACKAGES[@]}" "${TANGO_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}" qt6-base-dev qt6-base-dev-tools \
    g++-mingw-w64-x86-64 wine64 clang clang-14 libclang-rt-14-dev clang-format-14 git \
    libqt5serialport5-dev qt6-serialport-dev

jobs=$(nproc)

run_suite() {
    local dir=$1
    shift
    echo "=== $dir $*"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

tools/check-format.sh
tools/check-win32-serial.sh
run_suite build
run_suite build-qt6 -DVKR_QT_MAJOR=6
ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run_suite build-asan -DVKR_SANITIZERS=address,undefined -DCMAKE_BUILD_TYPE=Debug
tools/run-tsan.sh
tools/run-fuzzers.sh 30
tools/check-package.sh

echo "All tests passed."
