#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs every test:
#   1. the native build (warnings are errors) and its whole ctest suite, the
#      label `soak` (reliability at length: docs/reliability.md) on its own
#      with its figures, the label `kernel` (QEMU guest boots) last, through
#      scripts/kernel-test.sh; then the linters, scripts/lint.sh (clang-format,
#      clang-tidy, cppcheck, the documents' links); then the label `fleet`, the
#      Ansible collection and a rollout across emulated print hosts over ssh
#      (docs/fleet.md), with the packages it needs installed for it;
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
# At the end, and also when a stage fails, a table gives each stage's time.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

# Each stage's name and seconds, for the table at the end.
stage_names=()
stage_seconds=()
stage_name=""
stage_began=$SECONDS
run_began=$SECONDS
stage() {
    end_stage
    stage_name=$1
    stage_began=$SECONDS
    echo "== $1"
}
end_stage() {
    if [ -n "$stage_name" ]; then
        stage_names+=("$stage_name")
        stage_seconds+=("$((SECONDS - stage_began))")
    fi
    stage_name=""
}
stage_table() {
    local status=$? i
    end_stage
    echo "== the stages' times"
    printf '| %-58s | %8s |\n' stage seconds
    printf '|%s|%s|\n' "$(printf -- '-%.0s' {1..60})" "$(printf -- '-%.0s' {1..10})"
    for i in "${!stage_names[@]}"; do
        printf '| %-58s | %8d |\n' "${stage_names[$i]}" "${stage_seconds[$i]}"
    done
    printf '| %-58s | %8d |\n' "all$([ "$status" -eq 0 ] || echo ", up to the stage that failed")" \
        "$((SECONDS - run_began))"
    exit "$status"
}
trap stage_table EXIT

stage "set-up: the Debian packages"
scripts/setup-debian.sh

stage "native build and tests"
cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVIK_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" -LE 'kernel|soak|fleet'

stage "the linters"
scripts/lint.sh build

stage "reliability at length: a day of the window, a thousand updates, 200 plug-ins, a farm with faults"
soak_status=0
ctest --test-dir build -j "$jobs" -L soak -V >build/soak.log 2>&1 || soak_status=$?
# The figures: each run's table and verdict, the farm's totals.
grep -E '^[0-9]+: +([0-9]+ +[0-9.]+ |[0-9]+ (scans|updates|printers updated)|flat|every update|farm:|FAILED)' build/soak.log || true
if [ "$soak_status" -ne 0 ]; then
    cat build/soak.log
    exit 1
fi
echo "== the soak stage's whole output: build/soak.log"

stage "the link on the real kernel USB stack, in a QEMU guest"
scripts/kernel-test.sh build

stage "the fleet: the Ansible collection, a rollout over ssh to four emulated print hosts"
# shellcheck source=lib/packages.sh
. scripts/lib/packages.sh
install_packages ansible-core openssh-server openssh-client python3-pytest python3-jsonschema python3-voluptuous
fleet_status=0
ctest --test-dir build --output-on-failure -L fleet -V >build/fleet.log 2>&1 || fleet_status=$?
# The playbook's recaps and the report's lines (docs/fleet.md).
grep -E '^[0-9]+: (== the recap|PLAY RECAP|printhost-|localhost +:|host,serial|[0-9]+ passed)' build/fleet.log || true
if [ "$fleet_status" -ne 0 ]; then
    cat build/fleet.log
    exit 1
fi
echo "== the fleet stage's whole output: build/fleet.log"

stage "AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S "$root" -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZARVIK_WERROR=ON \
    -DZARVIK_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

stage "Windows: Qt and libusb for Windows, the build, its tests under wine"
scripts/test-windows.sh

stage "ARM: the arm64 and armhf builds, their tests under qemu-user"
scripts/test-arm.sh

stage "the Linux packages, lintian, the chroots"
scripts/package-linux.sh

stage "fuzzing the link's reply handling for 60 s (clang, libFuzzer)"
scripts/fuzz.sh 60

end_stage
echo "== all tests passed"
