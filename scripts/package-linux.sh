#!/usr/bin/env bash
# Builds the Linux downloads, for amd64, arm64 and armhf, and tries them as a
# user would meet them:
#   1. for each architecture a Release build with Debian's hardening flags for
#      it (dpkg-buildflags), for the prefix /usr: build-package/ on the build
#      machine, build-package-arm64/ and build-package-armhf/ cross-built with
#      cmake/toolchain-linux-<arch>.cmake (scripts/lib/arm.sh names what they
#      need);
#   2. cpack, everything into build-package/packages/:
#      zarvik_<version>_<arch>.deb for the three, and the portable folder
#      zarvik-update-<version>-linux-x86_64.tar.gz and -linux-arm64.tar.gz
#      (the window on Debian's Qt 5 for arm64; none for armhf);
#   3. lintian on each .deb: an error fails, the warnings are printed
#      (docs/packages.md says what lintian reports today: nothing);
#   4. tests/packaging/package-test.sh: the amd64 downloads installed and used
#      in a fresh Debian 12 chroot, a whole update by an ordinary user on the
#      emulated printer of the native build in build/ included;
#      tests/packaging/foreign-package-test.sh: the arm64 and armhf ones run
#      on a Debian 12 userland of their own architecture under qemu-user (both
#      need root and the Debian package registry).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${ZARVIK_PACKAGE_BUILD:-$root/build-package}"
out="$build/packages"
jobs=$(nproc)
# shellcheck source=lib/arm.sh
. "$root/scripts/lib/arm.sh"

# shellcheck disable=SC2046
scripts/setup-debian.sh help2man dpkg-dev lintian debootstrap \
    $(arm_packages arm64) $(arm_window_packages arm64) $(arm_packages armhf)

# package ARCH BUILD_DIR [CMAKE_OPTION...]: the .deb, and the portable folder
# where the window is built, of one architecture, copied into $out.
package() {
    local arch=$1 dir=$2 start=$SECONDS
    shift 2
    echo "== the Linux packages for $arch ($(basename "$dir")/)"
    (
        export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=$arch
        cppflags=$(dpkg-buildflags --get CPPFLAGS)
        CFLAGS="$cppflags $(dpkg-buildflags --get CFLAGS)"
        CXXFLAGS="$cppflags $(dpkg-buildflags --get CXXFLAGS)"
        LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
        export CFLAGS CXXFLAGS LDFLAGS
        rm -rf "$dir/packages"
        cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
            -DZARVIK_BUILD_TESTS=OFF -DZARVIK_WERROR=ON "$@" >/dev/null
        cmake --build "$dir" -j "$jobs"
        cd "$dir"
        cpack -G DEB >/dev/null
        if [ -x tool/zarvik-update ]; then
            cpack -G TGZ >/dev/null
        fi
    )
    local debs=("$dir"/packages/zarvik_*_"$arch".deb)
    [ -f "${debs[0]}" ] || { echo "no .deb for $arch in $dir/packages" >&2; exit 1; }
    if [ "$dir" != "$build" ]; then
        cp "${debs[@]}" "$out/"
        find "$dir/packages" -maxdepth 1 -name 'zarvik-update-*-linux-*.tar.gz' -exec cp {} "$out/" \;
    fi
    echo "== the packages for $arch took $((SECONDS - start)) s"
}

rm -rf "$out"
package "$(dpkg --print-architecture)" "$build"
package arm64 "$build-arm64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-arm64.cmake"
package armhf "$build-armhf" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-linux-armhf.cmake" -DZARVIK_BUILD_APP=OFF

deb=$(ls "$out"/zarvik_*_"$(dpkg --print-architecture)".deb)
tgz=$(ls "$out"/zarvik-update-*-linux-x86_64.tar.gz)
deb_arm64=$(ls "$out"/zarvik_*_arm64.deb)
tgz_arm64=$(ls "$out"/zarvik-update-*-linux-arm64.tar.gz)
deb_armhf=$(ls "$out"/zarvik_*_armhf.deb)
ls -l "$out"/*.deb "$out"/*.tar.gz

echo "== lintian"
status=0
lintian --fail-on error --info --tag-display-limit 0 "$deb" "$deb_arm64" "$deb_armhf" \
    >"$out/lintian.txt" 2>&1 || status=$?
grep -v "^running with root privileges" "$out/lintian.txt" || echo "lintian: no tags"
[ $status -eq 0 ] || { echo "lintian found errors" >&2; exit 1; }

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "== the packages in a fresh Debian 12"
# The emulated printer of the native build (scripts/test.sh makes it first)
# lets the package test run a whole update as an ordinary user.
emulator=$root/build/bin/zarvik-printer-emulator
[ -x "$emulator" ] || { echo "no $emulator: the package test updates no printer"; emulator=""; }
"${sudo[@]}" tests/packaging/package-test.sh "$deb" "$tgz" ${emulator:+"$emulator"}
echo "== the ARM packages on Debian 12 userlands of their own, under qemu-user"
"${sudo[@]}" tests/packaging/foreign-package-test.sh "$deb_arm64" "$tgz_arm64"
"${sudo[@]}" tests/packaging/foreign-package-test.sh "$deb_armhf"
