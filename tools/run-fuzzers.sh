#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ (clang, AddressSanitizer and UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs each for a bounded time, starting from its seed corpus in
# fuzz/corpus/<target>/. The seeds are only read: what the fuzzer finds goes to a scratch folder.
# An input that crashes a target or breaks one of its checks is kept in build-fuzz/artifacts/ and
# makes the script fail. The targets run side by side, each in its own process and for the whole
# time given, so the run takes that time once, however many targets there are.
# Usage: tools/run-fuzzers.sh [seconds per target] [build|run|all]   (default: 60 all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
phase=${2:-all}
dir=build-fuzz

echo "=== $dir (libFuzzer, ${seconds} s per target, $phase)"
if [ "$phase" != run ]; then
    cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build "$dir" -j"$(nproc)"
fi
[ "$phase" != build ] || exit 0

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
targets=(replyparser splitlocators recording)
fuzz() {
    local target=$1
    mkdir -p "$scratch/$target" "$dir/artifacts/$target"
    local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
                   -artifact_prefix="$dir/artifacts/$target/")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    "$dir/fuzz_$target" "${options[@]}" "$scratch/$target" "fuzz/corpus/$target" >"$scratch/$target.log" 2>&1
}
pids=()
for target in "${targets[@]}"; do
    fuzz "$target" &
    pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
    target=${targets[$i]}
    echo "--- fuzz_$target"
    if ! wait "${pids[$i]}"; then
        tail -n 40 "$scratch/$target.log"
        echo "fuzz_$target FAILED; the input is in $dir/artifacts/$target/ (replay: $dir/fuzz_$target FILE)"
        failed=1
    else
        grep -E "^(stat::number_of_executed_units|Done)" "$scratch/$target.log" || true
    fi
done
exit $failed
