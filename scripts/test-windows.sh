#!/usr/bin/env bash
# Builds the link library and its tests for 64-bit Windows with mingw-w64 and
# runs every test under wine:
#   1. installs the Debian packages the cross build needs (only when missing);
#   2. builds libusb-1.0 for Windows from Debian's source package, once per
#      build folder (build-win/libusb-win);
#   3. configures build-win/ with cmake/toolchain-mingw64.cmake, builds it and
#      runs ctest there.  Wine keeps its prefix in build-win/wine-prefix.
# ZARVIK_WIN_BUILD names another build folder (an absolute path) instead of
# build-win/.
# The Qt application is not part of it: Debian has no Qt for mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ZARVIK_WIN_BUILD:-$root/build-win}"
jobs=$(nproc)

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
apt_env=(env DEBIAN_FRONTEND=noninteractive)

# --- packages ---------------------------------------------------------------
packages=(
    cmake ninja-build make bzip2 googletest
    g++-mingw-w64-x86-64-posix wine wine64
)
missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    "${sudo[@]}" "${apt_env[@]}" apt-get update -q
    "${sudo[@]}" "${apt_env[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# --- libusb-1.0 for Windows ---------------------------------------------------
libusb_prefix="$build/libusb-win"
if [ ! -f "$libusb_prefix/lib/libusb-1.0.a" ] || [ ! -f "$libusb_prefix/include/libusb-1.0/libusb.h" ]; then
    echo "== libusb-1.0 for Windows from Debian's source"
    # apt-get source needs a deb-src entry for bookworm; it takes the
    # repository of the bookworm binary packages.
    if ! apt-get indextargets --format '$(TARGET_OF) $(RELEASE)' | grep -qx 'deb-src bookworm'; then
        repo=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
            awk '$1 == "deb" && $2 == "bookworm" { print $3; exit }')
        if [ -z "$repo" ]; then
            echo "no bookworm package repository configured: cannot add its sources" >&2
            exit 1
        fi
        options=""
        [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] &&
            options="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
        echo "adding: deb-src $options$repo bookworm main"
        echo "deb-src $options$repo bookworm main" |
            "${sudo[@]}" tee /etc/apt/sources.list.d/bookworm-src.list >/dev/null
        "${sudo[@]}" "${apt_env[@]}" apt-get update -q
    fi

    src="$build/libusb-src"
    rm -rf "$src" "$libusb_prefix"
    mkdir -p "$src"
    apt_options=()
    # As root, apt downloads as the user _apt, who may not write here.
    [ "$(id -u)" -eq 0 ] && apt_options=(-o APT::Sandbox::User=root)
    (cd "$src" && apt-get "${apt_options[@]}" source --download-only -q libusb-1.0)
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

# --- build and test -------------------------------------------------------------
echo "== Windows build (mingw-w64) and tests (wine)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DZARVIK_BUILD_APP=OFF -DZARVIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
