#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz/) with clang and libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/, then fuzzes
# each for a bounded time starting from the committed corpus: the reply
# target for the time given, the line buffer's for a quarter of it.
#   scripts/fuzz.sh [seconds]        (default 60)
# New inputs are kept in build-fuzz/corpus-<target>/, a failing one in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
build=build-fuzz
jobs=$(nproc)

scripts/setup-debian.sh

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVIK_FUZZ=ON -DZARVIK_BUILD_APP=OFF -DZARVIK_WERROR=ON -DZARVIK_SANITIZE=address,undefined \
    -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "$jobs" --target reply_fuzz line_buffer_fuzz

fuzz() {
    local target=$1 time=$2
    local corpus="$build/corpus-$target" log="$build/$target.log" status=0
    mkdir -p "$corpus"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/tests/fuzz/$target" "$corpus" tests/fuzz/corpus \
        -max_total_time="$time" -max_len=4096 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$build/" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 60 "$log"
        echo "fuzz: $target failed (exit $status); the input is in $build/, the output in $log"
        exit "$status"
    fi
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $target, ${runs:-?} executions in $time s, corpus $(ls "$corpus" | wc -l) inputs ($log)"
}
fuzz reply_fuzz "$seconds"
fuzz line_buffer_fuzz $(( (seconds + 3) / 4 ))
