#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs every test:
#   1. the native build (warnings are errors) and its whole ctest suite, the
#      label `soak` (reliability at length: docs/reliability.md) on its own
#      with its figures, the label `kernel` (QEMU guest boots) last, through
#      scripts/kernel-test.sh; then the linters, scripts/lint.sh (clang-format,
#      clang-tidy, cppcheck, the documents' links);
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the Windows build (mingw-w64) and its suite under wine: scripts/test-windows.sh;
#   4. the arm64 and armhf cross builds and their suites under qemu-user:
#      scripts/test-arm.sh;
#   5. the Linux packages for amd64, arm64 and armhf (.deb and portable
#      folder), lintian, the amd64 ones tried in a fresh Debian 12 chroot, the
#      ARM ones on Debian 12 userlands of their own architecture under
#      qemu-user: scripts/package-linux.sh;
#   6. bounded libFuzzer runs: scripts/fuzz.sh.
# Build folders: build/, build-asan/, build-win/, build-arm64/, build-armhf/,
# build-package*/ and build-fuzz/ beside this script's parent.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

scripts/setup-debian.sh

echo "== native build and tests"
cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVIK_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE 'kernel|soak'

echo "== the linters"
scripts/lint.sh build

echo "== reliability at length: a day of the window, a thousand updates, a farm with faults"
soak_start=$SECONDS
soak_status=0
ctest --test-dir build -j "$jobs" -L soak -V >build/soak.log 2>&1 || soak_status=$?
# The figures: each run's table and verdict, the farm's totals.
grep -E '^[0-9]+: +([0-9]+ +[0-9.]+ |[0-9]+ (scans|updates)|flat|every update|farm:|FAILED)' build/soak.log || true
if [ "$soak_status" -ne 0 ]; then
    cat build/soak.log
    exit 1
fi
echo "== the soak stage took $((SECONDS - soak_start)) s (its whole output: build/soak.log)"

echo "== the link on the real kernel USB stack, in a QEMU guest"
scripts/kernel-test.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S "$root" -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARVIK_WERROR=ON \
    -DZARVIK_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

windows_start=$SECONDS
scripts/test-windows.sh
echo "== the Windows stage took $((SECONDS - windows_start)) s"

arm_start=$SECONDS
scripts/test-arm.sh
echo "== the ARM stage took $((SECONDS - arm_start)) s"

package_start=$SECONDS
scripts/package-linux.sh
echo "== the Linux packages took $((SECONDS - package_start)) s"

echo "== fuzzing the link's reply handling for 60 s (clang, libFuzzer)"
scripts/fuzz.sh 60

echo "== all tests passed"
