# libusb-1.0 for the Windows build: Debian's source of it, built with the
# mingw-w64 toolchain into the build folder by scripts/test-windows.sh.
# Provides what com/CMakeLists.txt otherwise gets from pkg-config:
# PkgConfig::LIBUSB (the static library) and LIBUSB_INCLUDE_DIRS.

set(ZARVIK_WIN_LIBUSB_PREFIX ${CMAKE_BINARY_DIR}/libusb-win CACHE PATH
    "Install prefix of libusb-1.0 built for Windows")

set(_libusb_header ${ZARVIK_WIN_LIBUSB_PREFIX}/include/libusb-1.0/libusb.h)
set(_libusb_library ${ZARVIK_WIN_LIBUSB_PREFIX}/lib/libusb-1.0.a)
if(NOT EXISTS ${_libusb_header} OR NOT EXISTS ${_libusb_library})
    message(FATAL_ERROR
        "libusb-1.0 for Windows is not in ${ZARVIK_WIN_LIBUSB_PREFIX}.  "
        "scripts/test-windows.sh builds it there from Debian's source.")
endif()

add_library(PkgConfig::LIBUSB STATIC IMPORTED GLOBAL)
set_target_properties(PkgConfig::LIBUSB PROPERTIES
    IMPORTED_LOCATION ${_libusb_library}
    INTERFACE_INCLUDE_DIRECTORIES ${ZARVIK_WIN_LIBUSB_PREFIX}/include/libusb-1.0)
set(LIBUSB_INCLUDE_DIRS ${ZARVIK_WIN_LIBUSB_PREFIX}/include/libusb-1.0)
unset(_libusb_header)
unset(_libusb_library)
