#!/usr/bin/env bash
# The link library against the real Linux USB stack: builds the gadget
# printer and the guest's test program in BUILD_DIR (default build-kernel/,
# configured here when it is not yet), then runs the ctest label `kernel`,
# which boots one QEMU guest (software emulation) and reads its result.
# Missing QEMU, kernel or busybox fail here rather than skip: run
# scripts/setup-debian.sh first.
#
#   scripts/kernel-test.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-kernel}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVIK_WERROR=ON >/dev/null
fi
cmake --build "$build" -j 2 --target zarvik-gadget-printer kernel_link_test gadget_service_test \
    kernel_zarvik_test

start=$SECONDS
ZARVIK_KERNEL_TEST_REQUIRED=1 ctest --test-dir "$build" -L kernel --output-on-failure
echo "== the kernel stage took $((SECONDS - start)) s (two guest boots); serial logs: $build/tests/kernel/kernel_usb-serial.log, $build/tests/cli/kernel_zarvik-serial.log"
