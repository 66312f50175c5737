#!/usr/bin/env bash
# Builds the Linux downloads and tries them as a user would meet them:
#   1. a Release build in build-package/, with Debian's hardening flags
#      (dpkg-buildflags), for the prefix /usr;
#   2. cpack: build-package/packages/zarvik_<version>_<arch>.deb and
#      zarvik-update-<version>-linux-x86_64.tar.gz;
#   3. lintian on the .deb: an error fails, the warnings are printed (the
#      README lists them and why they stay);
#   4. tests/packaging/package-test.sh: both installed and used in a fresh
#      Debian 12 chroot (needs root and the Debian package registry), a
#      whole update by an ordinary user on the emulated printer of the
#      native build in build/ included.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ZARVIK_PACKAGE_BUILD:-$root/build-package}"

scripts/setup-debian.sh help2man dpkg-dev lintian debootstrap

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
export CFLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)"
export CXXFLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"

echo "== the Linux packages (build-package/)"
rm -rf "$build/packages"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DZARVIK_BUILD_TESTS=OFF -DZARVIK_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null && cpack -G TGZ >/dev/null)
deb=$(ls "$build"/packages/zarvik_*.deb)
tgz=$(ls "$build"/packages/zarvik-update-*-linux-*.tar.gz)
ls -l "$deb" "$tgz"

echo "== lintian"
status=0
lintian --fail-on error --info --tag-display-limit 0 "$deb" >"$build/packages/lintian.txt" 2>&1 || status=$?
grep -v "^running with root privileges" "$build/packages/lintian.txt" || echo "lintian: no tags"
[ $status -eq 0 ] || { echo "lintian found errors in $(basename "$deb")" >&2; exit 1; }

echo "== the packages in a fresh Debian 12"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# The emulated printer of the native build (scripts/test.sh makes it first)
# lets the package test run a whole update as an ordinary user.
emulator=$root/build/bin/zarvik-printer-emulator
[ -x "$emulator" ] || { echo "no $emulator: the package test updates no printer"; emulator=""; }
"${sudo[@]}" tests/packaging/package-test.sh "$deb" "$tgz" ${emulator:+"$emulator"}
