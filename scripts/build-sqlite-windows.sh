#!/usr/bin/env bash
# SQLite for 64-bit Windows (the update history's database), from Debian's
# own source package sqlite3, built with mingw-w64 into a static library:
#   scripts/build-sqlite-windows.sh           builds it unless the cache has it,
#                                             then prints its prefix (include/, lib/)
#   scripts/build-sqlite-windows.sh --prefix  prints the prefix only
# The source tree's amalgamation (one sqlite3.c) is made with the build
# machine's tclsh, then compiled for Windows.  The result is kept, as Qt's is
# (scripts/build-qt-windows.sh), in a cache folder outside the build folders:
#   ${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}/sqlite3-win64-<version>-<key>
# where <key> is a hash of the compile options and the compiler's version.  A
# folder without its .complete mark (an interrupted build) is built again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# shellcheck source=lib/debian-source.sh
. "$root/scripts/lib/debian-source.sh"

cache="${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}"
compiler=x86_64-w64-mingw32-gcc-posix
package=sqlite3
# Threads may each have a connection; nothing loads extensions.
options=(-O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DEFAULT_FOREIGN_KEYS=0)

ensure_deb_src >&2
version=$(source_version "$package")
[ -n "$version" ] || { echo "$package: apt offers no source" >&2; exit 1; }
key=$( { printf '%s\n' "${options[@]}"; "$compiler" -dumpfullversion; } | sha256sum | cut -c1-12)
prefix="$cache/sqlite3-win64-$version-$key"

if [ "${1:-}" = --prefix ]; then
    echo "$prefix"
    exit 0
fi
if [ -f "$prefix/.complete" ]; then
    echo "SQLite for Windows: cached in $prefix" >&2
    echo "$prefix"
    exit 0
fi

work="$prefix.work"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/include" "$prefix/lib"
log="$work/build.log"
echo "== SQLite $version for Windows (mingw-w64): building into $prefix (log: $log)" >&2
(
    fetch_source "$package" "$work"
    orig=$(find "$work" -maxdepth 1 -name 'sqlite3_*.orig.tar.*' ! -name '*-www*' | head -n 1)
    [ -n "$orig" ] || { echo "sqlite3's source package has no upstream tarball"; exit 1; }
    tar -xf "$orig" -C "$work"
    tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    mkdir -p "$work/native"
    cd "$work/native"
    "$tree/configure" -q --disable-tcl >/dev/null
    make -s sqlite3.c sqlite3.h
    "$compiler" "${options[@]}" -c sqlite3.c -o sqlite3.o
    x86_64-w64-mingw32-ar rcs "$prefix/lib/libsqlite3.a" sqlite3.o
    cp sqlite3.h sqlite3ext.h "$prefix/include/"
) >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "SQLite for Windows did not build: see $log" >&2
    exit 1
}
printf '%s\n' "$version" "${options[@]}" >"$prefix/.complete"
rm -rf "$work"
echo "$prefix"
