#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three ways: against Qt 5,
# against Qt 6, and against Qt 5 under AddressSanitizer and UndefinedBehaviorSanitizer; then the
# threaded tests under ThreadSanitizer and, briefly, the fuzzers; last, the Debian package is made
# and checked. After the first build's tests, its vkr-calibrate runs in a QEMU guest on a real
# USB-serial driver, the adapter unplugged under it (that script says so and skips where QEMU or
# the guest's kernel cannot be had), and a seeded chaos campaign of 300 runs checks every account
# of a run against what the simulated controllers saw (tools/chaos; its seed is printed). Before
# all that, every C++ file is checked against .clang-format and the chaos judge against its table
# of spoilt runs; the Windows serial back-end runs the serial port contract under Wine, and the
# Windows build (Qt for Windows built once from Debian's sources and cached) installs, calibrates
# and uninstalls under Wine as tools/check-windows.sh says.
#
# Two lanes go side by side: one compiles (each suite in its own build folder, then the Wine check
# and the package), the other runs each suite's tests as soon as its build is done, so the tests'
# waiting overlaps the next compile. Each step's output is printed whole when the step ends, a
# failure stops both lanes after their current step, and a table of the steps' times ends the run.
set -euo pipefail
cd "$(dirname "$0")"
source tools/ensure-packages.sh
# Qt Serial Port is for the protocol benchmark's anchor only; the tool does not use it. Debian 12's
# qt6-charts-dev needs Qt 6 OpenGL's CMake files without depending on libqt6opengl6-dev.
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${TANGO_PACKAGES[@]}" "${TANGO_TEST_PACKAGES[@]}" \
    "${PACKAGE_CHECK_PACKAGES[@]}" qt6-base-dev qt6-base-dev-tools qt6-charts-dev libqt6opengl6-dev \
    "${WINDOWS_PACKAGES[@]}" clang clang-14 libclang-rt-14-dev clang-format-14 git \
    libqt5serialport5-dev qt6-serialport-dev python3 util-linux

jobs=$(nproc)
began=$SECONDS

# The calibration history of the user who runs the suite (where vkr-calibrate keeps it for them):
# no test may change it. Its size and checksum, or "none".
user_history=${XDG_DATA_HOME:-$HOME/.local/share}/vkr-calibrator/history.jsonl
history_state() {
    if [ -e "$user_history" ]; then
        echo "$(stat -c %s "$user_history") $(sha256sum <"$user_history")"
    else
        echo none
    fi
}
history_before=$(history_state)
steps=$(mktemp -d)
trap 'report_times; rm -rf "$steps"' EXIT

# Runs a step with its output in its own log, then prints the log whole (one step at a time) and
# notes the time taken and how it ended. Once a step has failed, no further step starts.
step() {
    local name=$1 start=$SECONDS status=0
    shift
    [ ! -e "$steps/failed" ] || return 1
    "$@" >"$steps/$name.log" 2>&1 || status=$?
    [ "$status" -eq 0 ] || echo "$name" >>"$steps/failed"
    {
        flock 9
        echo "=== $name ($((SECONDS - start)) s)"
        cat "$steps/$name.log"
        [ "$status" -eq 0 ] || echo "=== $name FAILED (exit status $status)"
        echo "$name $((SECONDS - start)) $status" >>"$steps/times"
    } 9>"$steps/print.lock"
    return "$status"
}

# A build step whose tests the other lane waits for.
built() {
    step "$@" && touch "$steps/$1.done"
}

# Waits for a build step to be done; false once any step has failed.
await() {
    until [ -e "$steps/$1.done" ]; do
        [ ! -e "$steps/failed" ] || return 1
        sleep 1
    done
}

build_suite() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}

test_suite() {
    (cd "$1" && ctest --output-on-failure -j"$jobs")
}

test_asan_suite() {
    ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/sanitizers/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        test_suite build-asan
}

# Debug information as line tables only (-g1): backtraces and sanitizer reports keep their
# functions, files and lines, and each suite compiles about a sixth faster than with -g.
compile_lane() {
    built build-qt5 build_suite build -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" &&
        built build-qt6 build_suite build-qt6 -DVKR_QT_MAJOR=6 -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" &&
        built build-asan build_suite build-asan -DVKR_SANITIZERS=address,undefined \
            -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DVKR_BUILD_TOOLS=OFF &&
        built build-tsan tools/run-tsan.sh build-tsan build &&
        built build-fuzz tools/run-fuzzers.sh 30 build &&
        step win32-serial tools/check-win32-serial.sh &&
        step win32-records tools/check-win32-records.sh &&
        await qt-windows && step windows tools/check-windows.sh build &&
        step package tools/check-package.sh
}

# Qt for Windows, when it is not cached yet, takes most of an hour to build: it starts with the two
# lanes, at the lowest priority, on what they leave of the processors. In a session of its own, so
# that a failure elsewhere can end it at once; Linux schedules a session as a group of its own
# (autogroup), which shares the processors equally with the lanes' whatever its nice value, so the
# group's own value is lowered too.
build_qt_for_windows() {
    setsid sh -c 'echo 19 >/proc/self/autogroup 2>/dev/null; exec nice -n 19 tools/build-windows.sh --qt-only' &
    echo $! >"$steps/qt-windows.pid"
    wait $!
}

test_lane() {
    await build-qt5 && step test-qt5 test_suite build &&
        step chaos tools/chaos --runs 300 build &&
        step usb-serial tools/check-usb-serial.sh build &&
        await build-qt6 && step test-qt6 test_suite build-qt6 &&
        await build-asan && step test-asan test_asan_suite &&
        await build-tsan && step test-tsan tools/run-tsan.sh build-tsan test &&
        await build-fuzz && step fuzz tools/run-fuzzers.sh 30 run
}

report_times() {
    [ -e "$steps/times" ] || return 0
    echo "--- step times"
    printf '%-14s %8s  %s\n' step seconds result
    while read -r name took status; do
        printf '%-14s %8s  %s\n' "$name" "$took" "$([ "$status" -eq 0 ] && echo ok || echo "FAILED ($status)")"
    done <"$steps/times"
    printf '%-14s %8s\n' total $((SECONDS - began))
    if [ -e "$steps/failed" ]; then
        echo "Failed: $(tr '\n' ' ' <"$steps/failed")"
    fi
}

step format tools/check-format.sh
step chaos-judge python3 tests/tools/tst_chaosjudge.py
built qt-windows build_qt_for_windows &
qt_windows=$!
compile_lane &
compiling=$!
test_lane &
testing=$!
status=0
wait "$compiling" || status=1
wait "$testing" || status=1
[ ! -e "$steps/failed" ] || kill -- -"$(cat "$steps/qt-windows.pid")" 2>/dev/null || true
wait "$qt_windows" || status=1
[ "$status" -eq 0 ] && [ ! -e "$steps/failed" ] || exit 1
if [ "$(history_state)" != "$history_before" ]; then
    echo "The suite changed the calibration history of $(id -un) ($user_history)."
    exit 1
fi
echo "All tests passed."
