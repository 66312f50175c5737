#!/usr/bin/env bash
# Builds the tests for 64-bit and 32-bit ARM Linux with Debian's multiarch
# cross toolchains and runs them under qemu-user through ctest:
#
#   scripts/test-arm.sh [ARCH...]        (ARCH: arm64, armhf; both by default)
#
# For each architecture: installs what it needs (scripts/lib/arm.sh; adds the
# architecture to dpkg), configures build-<arch>/ with
# cmake/toolchain-linux-<arch>.cmake, builds it and runs ctest there.  The
# build leaves out what needs a display or a kernel of the target: no window
# and no Qt (ZARVIK_BUILD_APP=OFF), no QEMU guest, and the umockdev emulator
# only exists for the build machine.  What runs: the platform layer, the
# library on the in-process bus, the emulated printer, the update core,
# zarvik on the emulated bus, the udev rule, the gadget printer's own parts
# and the fuzz corpus replayed.  armhf is the 32-bit one: long, size_t and
# time_t are 32 bits there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)
# shellcheck source=lib/arm.sh
. "$root/scripts/lib/arm.sh"

architectures=("$@")
[ ${#architectures[@]} -gt 0 ] || architectures=("${arm_architectures[@]}")

packages=()
for arch in "${architectures[@]}"; do
    [ -f "$root/cmake/toolchain-linux-$arch.cmake" ] || { echo "$0: no toolchain for '$arch'" >&2; exit 2; }
    # shellcheck disable=SC2207
    packages+=($(arm_packages "$arch") $(arm_test_packages "$arch"))
done
scripts/setup-debian.sh "${packages[@]}"

for arch in "${architectures[@]}"; do
    start=$SECONDS
    build="$root/build-$arch"
    echo "== $arch: cross build (build-$arch/) and its tests under qemu-user"
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-$arch.cmake" \
        -DZARVIK_BUILD_APP=OFF -DZARVIK_WERROR=ON >/dev/null
    cmake --build "$build" -j "$jobs"
    ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$jobs"
    echo "== $arch took $((SECONDS - start)) s"
done
