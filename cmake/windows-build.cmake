# What the Windows build takes from outside the project, included right after
# the project() call by cmake/toolchain-mingw64.cmake:
#
# - libusb-1.0 for Windows: Debian's source of it, built with the mingw-w64
#   toolchain into the build folder by scripts/test-windows.sh.  Provides what
#   com/CMakeLists.txt otherwise gets from pkg-config: PkgConfig::LIBUSB (the
#   static library) and LIBUSB_INCLUDE_DIRS.
# - SQLite for Windows (the update history): Debian's source of it, built with
#   the mingw-w64 toolchain into a static library by
#   scripts/build-sqlite-windows.sh (cached outside the build folders), named by
#   ZARVIK_WIN_SQLITE_PREFIX.  Provides what history/CMakeLists.txt otherwise
#   finds natively: SQLite::SQLite3.
# - Qt 5 for Windows, when ZARVIK_WIN_QT_PREFIX names its install prefix
#   (scripts/build-qt-windows.sh builds it from Debian's source); without it
#   the window is not built.
# - The C and C++ runtimes: linked statically into every program, so that it
#   needs no DLL beside it, except into programs that link Qt (target property
#   ZARVIK_SHARED_RUNTIME): Qt's DLLs use the shared runtime, and a process
#   must have one C++ runtime, not a static copy and a shared one.

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

set(ZARVIK_WIN_SQLITE_PREFIX "" CACHE PATH
    "Install prefix of SQLite built for Windows (scripts/build-sqlite-windows.sh)")
if(NOT EXISTS ${ZARVIK_WIN_SQLITE_PREFIX}/include/sqlite3.h OR NOT EXISTS ${ZARVIK_WIN_SQLITE_PREFIX}/lib/libsqlite3.a)
    message(FATAL_ERROR "SQLite for Windows is not in '${ZARVIK_WIN_SQLITE_PREFIX}' (ZARVIK_WIN_SQLITE_PREFIX).  "
        "scripts/build-sqlite-windows.sh builds it and prints its prefix.")
endif()
add_library(SQLite::SQLite3 STATIC IMPORTED GLOBAL)
set_target_properties(SQLite::SQLite3 PROPERTIES
    IMPORTED_LOCATION ${ZARVIK_WIN_SQLITE_PREFIX}/lib/libsqlite3.a
    INTERFACE_INCLUDE_DIRECTORIES ${ZARVIK_WIN_SQLITE_PREFIX}/include)

set(ZARVIK_WIN_QT_PREFIX "" CACHE PATH "Install prefix of Qt 5 built for Windows (scripts/build-qt-windows.sh)")
if(ZARVIK_WIN_QT_PREFIX)
    if(NOT EXISTS ${ZARVIK_WIN_QT_PREFIX}/lib/cmake/Qt5/Qt5Config.cmake)
        message(FATAL_ERROR "No Qt 5 for Windows in ${ZARVIK_WIN_QT_PREFIX}")
    endif()
    # Searches stay inside the roots: Qt's prefix is one of them.
    list(APPEND CMAKE_FIND_ROOT_PATH ${ZARVIK_WIN_QT_PREFIX})
    set(Qt5_DIR ${ZARVIK_WIN_QT_PREFIX}/lib/cmake/Qt5 CACHE PATH "" FORCE)
endif()

add_link_options("$<$<NOT:$<BOOL:$<TARGET_PROPERTY:ZARVIK_SHARED_RUNTIME>>>:-static>")

# The runtime DLLs that programs linking Qt need beside them.
set(ZARVIK_WIN_RUNTIME_DLLS "")
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE _dll OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${_dll}" OR NOT EXISTS "${_dll}")
        # The compiler does not know where libwinpthread lives.
        find_file(_dll_found ${dll} PATHS /usr/${ZARVIK_MINGW_TRIPLE}/lib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
        set(_dll ${_dll_found})
        unset(_dll_found CACHE)
    endif()
    if(NOT EXISTS "${_dll}")
        message(FATAL_ERROR "The mingw-w64 runtime has no ${dll}")
    endif()
    list(APPEND ZARVIK_WIN_RUNTIME_DLLS ${_dll})
endforeach()
unset(_dll)

# Where wine looks for the DLLs of programs run in the build folder (Qt's and
# the runtime's): cmake/windows/wine-run.sh takes them, separated by colons,
# in ZARVIK_WINE_DLL_DIRS.  Qt's plugins they find in the Qt build itself.
set(_dirs "")
if(ZARVIK_WIN_QT_PREFIX)
    list(APPEND _dirs ${ZARVIK_WIN_QT_PREFIX}/bin)
endif()
foreach(_dll IN LISTS ZARVIK_WIN_RUNTIME_DLLS)
    get_filename_component(_dir ${_dll} DIRECTORY)
    list(APPEND _dirs ${_dir})
endforeach()
list(REMOVE_DUPLICATES _dirs)
string(REPLACE ";" ":" ZARVIK_WIN_DLL_DIRS "${_dirs}")
unset(_dirs)
unset(_dir)
