# Cross-build for 32-bit ARM Linux with hardware floating point (Debian and
# Raspberry Pi OS on armhf) with Debian's multiarch toolchain, run under
# qemu-user:
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-linux-armhf.cmake
#
# scripts/test-arm.sh sets everything up and runs the tests there;
# scripts/package-linux.sh makes the armhf package.

set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZARVIK_MULTIARCH_TRIPLE arm-linux-gnueabihf)
set(ZARVIK_DEBIAN_ARCH armhf)
set(ZARVIK_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-multiarch.cmake)

# GCC notes every std::map iterator passed by value that its ABI for this
# target changed in GCC 7.1: everything here is built by one compiler.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
