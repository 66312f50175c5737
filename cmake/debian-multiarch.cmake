# What the Linux cross builds share (included by cmake/toolchain-linux-arm64.cmake
# and cmake/toolchain-linux-armhf.cmake, which set ZARVIK_MULTIARCH_TRIPLE,
# ZARVIK_DEBIAN_ARCH, CMAKE_SYSTEM_PROCESSOR and ZARVIK_QEMU first).
#
# Debian's multiarch layout is the sysroot: the cross compiler
# (crossbuild-essential-<arch>) reads /usr/include, and the target's libraries
# come from the packages of that architecture (libusb-1.0-0-dev:<arch>, ...)
# in /usr/lib/<triple>.  Header-only packages are shared with the build
# machine.  Programs of the build run under qemu-user; the target's dynamic
# loader and libraries are where the packages put them, so qemu needs no
# prefix of its own and the kernel no binfmt registration.

set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${ZARVIK_MULTIARCH_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZARVIK_MULTIARCH_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZARVIK_MULTIARCH_TRIPLE})

# pkg-config reads the target's .pc files only, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZARVIK_MULTIARCH_TRIPLE}/pkgconfig:/usr/share/pkgconfig)

# Programs of the build (the udev rule's and the man page's makers, the
# tests, ctest's listing of them) run under qemu-user.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${ZARVIK_QEMU})
