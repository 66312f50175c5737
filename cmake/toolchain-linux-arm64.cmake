# Cross-build for 64-bit ARM Linux (Debian and Raspberry Pi OS on arm64) with
# Debian's multiarch toolchain, run under qemu-user:
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-arm64.cmake
#
# scripts/test-arm.sh sets everything up and runs the tests there;
# scripts/package-linux.sh makes the arm64 packages.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZARVIK_MULTIARCH_TRIPLE aarch64-linux-gnu)
set(ZARVIK_DEBIAN_ARCH arm64)
set(ZARVIK_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)
