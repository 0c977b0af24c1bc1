#!/usr/bin/env bash
# Builds the threaded tests (worker, connection, window and its history reader, the history's
# writer thread, the stand-in libraries used from two threads, and the stress runs) with ThreadSanitizer and runs them; any
# report fails the run.
# Qt 6 is used because its QMutex tells TSan about every lock and unlock made in our code. Qt
# itself is not built with TSan, so it is treated as a black box: TSan does not check the memory
# that Qt's own code touches through the C library (ignore_noninstrumented_modules; Qt's own
# mutexes, which TSan cannot see, order those accesses), while every access made by our code, and
# every lock, wait and thread start or end, is still tracked. What that leaves of Qt's internals
# is in tests/sanitizers/tsan.supp.
# Usage: tools/run-tsan.sh [build-dir] [build|test|all]   (default: build-tsan all)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-tsan}
phase=${2:-all}
tests=(tst_workthread tst_vkrconnection tst_serialtransport tst_simlibrarythreads
       tst_vkrcalibrator tst_historywindow tst_stress_window tst_stress_close tst_runrecords)

echo "=== $dir (ThreadSanitizer, $phase)"
if [ "$phase" != test ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVKR_QT_MAJOR=6 \
        -DVKR_SANITIZERS=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVKR_BUILD_TOOLS=OFF >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target "${tests[@]}"
fi
[ "$phase" != build ] || exit 0

pattern="^($(IFS='|'; echo "${tests[*]}"))\$"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:ignore_noninstrumented_modules=1:suppressions=$PWD/tests/sanitizers/tsan.supp"
(cd "$dir" && ctest --output-on-failure -j"$(nproc)" -R "$pattern")
