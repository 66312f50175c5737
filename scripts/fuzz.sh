#!/usr/bin/env bash
# Builds the reply fuzz target (tests/fuzz/reply_fuzz.cpp) with clang and
# libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/,
# then fuzzes it for a bounded time starting from the committed corpus.
#   scripts/fuzz.sh [seconds]        (default 60)
# New inputs are kept in build-fuzz/corpus/, a failing one in build-fuzz/.
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
cmake --build "$build" -j "$jobs" --target reply_fuzz

mkdir -p "$build/corpus"
log="$build/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/tests/fuzz/reply_fuzz" "$build/corpus" tests/fuzz/corpus \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$build/" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz: the target failed (exit $status); the input is in $build/, the output in $log"
    exit "$status"
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz: ${runs:-?} executions in $seconds s, corpus $(ls "$build/corpus" | wc -l) inputs ($log)"
