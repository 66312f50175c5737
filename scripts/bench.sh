#!/usr/bin/env bash
# Measures what the tool itself costs where a user could feel it, and prints
# the figures (docs/performance.md says what each one means):
#
#   scripts/bench.sh [upload] [parallel] [hash] [plug]     (all four by default)
#
#   upload    the link's upload against a bare transfer loop, in process;
#   parallel  `zarvik update --all` on 1, 4 and 16 printers, in process (each
#             printer on a full-speed and on a high-speed link of its own) and
#             through the real libusb-1.0 and the umockdev printer emulator;
#   hash      SHA-256 by size, the 16 MiB plan check, the hashed upload;
#   plug      a printer plugged in while zarvik watch runs: from its arrival
#             to the first take of control, and from the plug-in to the first
#             "~M601", in process and through the real libusb-1.0's hotplug
#             events under the umockdev printer emulator.
#
# Builds the benchmarks in build-bench/ (the native build's flags, warnings
# as errors, -DZARVIK_BUILD_BENCH=ON) with at most two jobs.  The outputs stay
# in build-bench/results/.  About a minute once built.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build-bench"
results="$build/results"
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(upload parallel hash plug)
for part in "${parts[@]}"; do
    case $part in
    upload | parallel | hash | plug) ;;
    *) echo "usage: scripts/bench.sh [upload] [parallel] [hash] [plug]" >&2 && exit 2 ;;
    esac
done
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

scripts/setup-debian.sh

echo "== build (build-bench)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVIK_WERROR=ON \
    -DZARVIK_BUILD_BENCH=ON -DZARVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target zarvik_bench_all
mkdir -p "$results"
bench="$build/bench"

model=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
echo "== $model, $(nproc) cores"
for part in "${parts[@]}"; do
    case $part in
    upload) "$bench/zarvik-bench-upload" ;;
    parallel)
        "$bench/zarvik-bench-parallel" --rounds=9
        sixteen=()
        for _ in $(seq 16); do sixteen+=(--printer target); done
        "$build/bin/zarvik-printer-emulator" "${sixteen[@]}" -- "$bench/zarvik-bench-parallel-emulator" --rounds=5
        ;;
    hash) "$bench/zarvik-bench-hash" --rounds=9 ;;
    plug)
        "$bench/zarvik-bench-plug" --rounds=10
        "$build/bin/zarvik-printer-emulator" --control auto -- "$bench/zarvik-bench-plug-emulator" --rounds=10
        ;;
    esac | tee "$results/$part.txt"
done
echo "outputs: $results"
