#!/usr/bin/env bash
# Qt 5 for 64-bit Windows, cross-built with mingw-w64 from Debian's own source
# package (qtbase-opensource-src), for the Windows build of the window.
#
#   scripts/build-qt-windows.sh           builds it unless the cache has it, then
#                                         prints its install prefix (last line)
#   scripts/build-qt-windows.sh --prefix  only prints where it is (or would be)
#
# Only what the tool needs: Core, Gui, Widgets, Test, the windows platform
# plugin and the JPEG image plugin; release, shared; zlib, libpng, libjpeg,
# freetype, harfbuzz and pcre2 bundled; no OpenGL, D-Bus, ICU, network, SQL,
# printing or tablet support.  A cold build takes about half an hour on two
# cores, so the result is kept in a cache folder outside the build folders:
#   ${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}/qt5-win64-<version>-<key>
# where <key> is a hash of the configure options and the compiler's version.
# A folder without its .complete mark (an interrupted build) is built again.
#
# Needs a deb-src entry for bookworm; it adds one to apt's sources
# (/etc/apt/sources.list.d/bookworm-src.list) when there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=lib/debian-source.sh
. "$root/scripts/lib/debian-source.sh"

cache="${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}"
compiler=x86_64-w64-mingw32-g++-posix
package=qtbase-opensource-src
wanted_upstream=5.15.8

options=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -opensource -confirm-license -release -shared
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu
    -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz
    -no-sql-sqlite -no-sql-odbc -no-feature-network -no-feature-sql
    -no-feature-printer -no-feature-concurrent
    # Debian's tarball leaves out src/3rdparty/wintab, which tablet support needs.
    -no-feature-tabletevent
)

ensure_deb_src >&2
version=$(source_version "$package")
case "$version" in
    "$wanted_upstream"*) ;;
    *) echo "$package: apt offers '${version:-nothing}', not $wanted_upstream" >&2; exit 1 ;;
esac
key=$( { printf '%s\n' "${options[@]}"; "$compiler" -dumpfullversion; } | sha256sum | cut -c1-12)
prefix="$cache/qt5-win64-$version-$key"

if [ "${1:-}" = --prefix ]; then
    echo "$prefix"
    exit 0
fi
if [ -f "$prefix/.complete" ]; then
    echo "Qt for Windows: cached in $prefix" >&2
    echo "$prefix"
    exit 0
fi

jobs=$(nproc)
work="$prefix.work"
log="$work/build.log"
rm -rf "$prefix" "$work"
mkdir -p "$work/src" "$work/build"
start=$SECONDS
echo "== Qt $version for Windows (mingw-w64): building into $prefix (log: $log)" >&2
fetch_source "$package" "$work/src" >&2
orig=$(find "$work/src" -maxdepth 1 -name "${package}_*.orig.tar.*" | head -n 1)
[ -n "$orig" ] || { echo "$package: no upstream tarball" >&2; exit 1; }
tar -xf "$orig" -C "$work/src"
tree=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qtbase-*' | head -n 1)

step() {
    local name=$1; shift
    local t=$SECONDS
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "Qt for Windows: $name failed, see $log" >&2
        exit 1
    fi
    echo "   $name: $((SECONDS - t)) s" >&2
}
cd "$work/build"
step configure "$tree/configure" -prefix "$prefix" "${options[@]}"
step make make -j "$jobs"
step install make -j "$jobs" install
printf '%s\n' "$version" "${options[@]}" >"$prefix/.complete"
cd "$root"
rm -rf "$work"
echo "   Qt for Windows built in $((SECONDS - start)) s" >&2
echo "$prefix"
