# Cross-build for 64-bit Windows with Debian's mingw-w64 (posix threads), run
# under wine.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# scripts/test-windows.sh sets everything up and runs the tests.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZARVIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZARVIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZARVIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZARVIK_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZARVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Executables built here run through wine, in a wine prefix of this build
# folder's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/windows/wine-run.sh ${CMAKE_BINARY_DIR}/wine-prefix)

# libusb-1.0 and Qt 5 for Windows, and which runtime each program links:
# cmake/windows-build.cmake, right after the project() call.
set(CMAKE_PROJECT_zarvik_update_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/windows-build.cmake)
