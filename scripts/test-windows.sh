#!/usr/bin/env bash
# Builds the tool for 64-bit Windows with mingw-w64 and runs every test under
# wine:
#   1. installs the Debian packages the cross build needs (only when missing);
#   2. builds libusb-1.0 for Windows from Debian's source package, once per
#      build folder (build-win/libusb-win);
#   3. builds SQLite for Windows from Debian's source package, once per machine
#      (scripts/build-sqlite-windows.sh, cached as Qt is; about a minute);
#   4. builds Qt 5 for Windows from Debian's source package, once per machine:
#      scripts/build-qt-windows.sh keeps it in a cache folder outside the
#      build folders (about 20 minutes on two cores the first time);
#   5. configures build-win/ with cmake/toolchain-mingw64.cmake, builds it (the
#      library, the window zarvik-update.exe and the runnable Windows folder
#      build-win/tool/, the zip of it) and runs ctest there, the window's tests
#      under wine on a virtual display (Xvfb) included.  Wine keeps its prefix
#      in build-win/wine-prefix.
# Fetching the two source packages needs a deb-src entry for bookworm in apt's
# sources: when there is none, it adds one
# (/etc/apt/sources.list.d/bookworm-src.list) and updates the package lists.
# ZARVIK_WIN_BUILD names another build folder (an absolute path) instead of
# build-win/.
# zarvik.exe takes CLI11's and nlohmann-json's headers from their Debian
# packages (both header-only: cmake/header-libraries.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ZARVIK_WIN_BUILD:-$root/build-win}"
jobs=$(nproc)
# shellcheck source=lib/debian-source.sh
. "$root/scripts/lib/debian-source.sh"

# --- packages ---------------------------------------------------------------
packages=(
    cmake ninja-build make bzip2 perl googletest
    g++-mingw-w64-x86-64-posix wine wine64
    xvfb xauth xdotool xclip imagemagick icoutils zip unzip
    # what wine draws windows with: its fonts, X rendering, cursors
    fonts-wine fonts-liberation libxrender1 libxcursor1 libxrandr2 libxi6 libxfixes3
    libcli11-dev nlohmann-json3-dev
    # tclsh makes SQLite's one-file source from Debian's source tree
    tcl
    # the locales zarvik's tests run wine in (compiled into the build folder)
    locales
)
# shellcheck source=lib/packages.sh
. "$root/scripts/lib/packages.sh"
install_packages "${packages[@]}"

# --- libusb-1.0 for Windows ---------------------------------------------------
libusb_prefix="$build/libusb-win"
if [ ! -f "$libusb_prefix/lib/libusb-1.0.a" ] || [ ! -f "$libusb_prefix/include/libusb-1.0/libusb.h" ]; then
    echo "== libusb-1.0 for Windows from Debian's source"
    ensure_deb_src
    src="$build/libusb-src"
    rm -rf "$src" "$libusb_prefix"
    mkdir -p "$src"
    fetch_source libusb-1.0 "$src"
    orig=$(find "$src" -maxdepth 1 -name 'libusb-1.0_*.orig.tar.*' | head -n 1)
    if [ -z "$orig" ]; then
        echo "libusb-1.0's source package has no upstream tarball" >&2
        exit 1
    fi
    tar -xf "$orig" -C "$src"
    tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'libusb-*' | head -n 1)
    (
        cd "$tree"
        ./configure -q --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
            --prefix="$libusb_prefix" --disable-examples-build --disable-tests-build
        make -s -j "$jobs"
        make -s install
    ) >"$src/build.log" 2>&1 || {
        tail -n 40 "$src/build.log" >&2
        echo "libusb-1.0 for Windows did not build: see $src/build.log" >&2
        exit 1
    }
fi

# --- SQLite for Windows ---------------------------------------------------------
sqlite_prefix=$(scripts/build-sqlite-windows.sh | tail -n 1)

# --- Qt 5 for Windows -----------------------------------------------------------
qt_prefix=$(scripts/build-qt-windows.sh | tail -n 1)

# --- build and test -------------------------------------------------------------
echo "== Windows build (mingw-w64) and tests (wine)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DZARVIK_WIN_QT_PREFIX="$qt_prefix" -DZARVIK_WIN_SQLITE_PREFIX="$sqlite_prefix" -DZARVIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G ZIP >/dev/null)
ctest --test-dir "$build" --output-on-failure -j "$jobs"
