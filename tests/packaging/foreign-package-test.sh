#!/usr/bin/env bash
# An ARM package on a Debian 12 userland of its own architecture, run under
# qemu-user:
#
#   foreign-package-test.sh ZARVIK_DEB [PORTABLE_TAR_GZ]      (as root)
#
# The userland is Debian's own packages for the .deb's architecture (arm64,
# armhf): debootstrap's first stage (--foreign, minbase) with the packages
# the .deb depends on and, with the portable folder, those its README names,
# every package unpacked.  Nothing of it is configured: without binfmt the
# kernel cannot start the target's programs, and qemu-user starts one
# program, not the ones it would start.  Each program runs chrooted into that
# userland by a static qemu-user copied into it, so it finds only the
# userland's libraries, never the build machine's multiarch ones.
# - the .deb's files, unpacked: `zarvik --version` gives the package's
#   version; `zarvik list` with no printer ends with status 3 and says so;
# - the portable folder: every library of the window and of zarvik resolves,
#   the window starts (offscreen) and is still up after a few seconds, and
#   its zarvik gives the same version.
#
# The userland is made once per architecture and package list and kept as a
# tarball in the cache folder
# (${ZARVIK_CACHE_DIR:-~/.cache/zarvik}/debian12-foreign-<arch>-<key>.tar,
# made again after a week); every run unpacks a fresh copy of it.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 ZARVIK_DEB [PORTABLE_TAR_GZ]" >&2
    exit 2
fi
deb=$(realpath "$1")
tgz=""
[ $# -eq 2 ] && tgz=$(realpath "$2")
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, chroot)" >&2; exit 2; }

arch=$(dpkg-deb -f "$deb" Architecture)
version=$(dpkg-deb -f "$deb" Version)
case "$arch" in
    arm64) qemu=qemu-aarch64-static loader=/lib/ld-linux-aarch64.so.1 ;;
    armhf) qemu=qemu-arm-static loader=/lib/ld-linux-armhf.so.3 ;;
    *) echo "$0: $(basename "$deb") is for $arch, not for ARM" >&2; exit 2 ;;
esac
[ -x "/usr/bin/$qemu" ] || { echo "$0: /usr/bin/$qemu is missing (apt-get install qemu-user-static)" >&2; exit 2; }
cache="${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}"
start=$SECONDS

# The packages: the first of each alternative in Depends, without versions,
# and the portable README's list.
packages=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g')
if [ -n "$tgz" ]; then
    readme=$(tar -xzf "$tgz" --wildcards -O '*/README.txt')
    packages+=" $(sed -n 's/^Needs, on Debian 12: sudo apt-get install //p' <<<"$readme")"
fi
packages=$(tr ' ' '\n' <<<"$packages" | sed '/^$/d' | sort -u | paste -sd, -)
key=$(sha256sum <<<"$packages" | cut -c1-12)
base="$cache/debian12-foreign-$arch-$key.tar"

mirror=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
    awk '$1 == "deb" && $2 == "bookworm" && !repo { repo = $3 } END { print repo }')
mirror=${mirror:-http://deb.debian.org/debian/}

if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
    echo "== a Debian 12 userland for $arch with $packages (debootstrap --foreign, from $mirror)"
    made=$(mktemp -d /var/tmp/zarvik-foreign.XXXXXX)
    debootstrap --foreign --variant=minbase --arch="$arch" --include="$packages" bookworm "$made" "$mirror" \
        >"$made.log" 2>&1 || { tail -n 20 "$made.log" >&2; exit 1; }
    # The first stage unpacks only what the second needs; the rest waits in
    # apt's cache.  Unpacked the way debootstrap does it: over /usr's links.
    for package in "$made"/var/cache/apt/archives/*.deb; do
        dpkg-deb --fsys-tarfile "$package" | tar -C "$made" --keep-directory-symlink -xf -
    done
    rm -f "$made"/var/cache/apt/archives/*.deb
    mkdir -p "$cache"
    rm -f "$cache/debian12-foreign-$arch-"*.tar
    tar -C "$made" -cf "$base.new" . && mv "$base.new" "$base"
    rm -rf "$made" "$made.log"
fi

root=$(mktemp -d /var/tmp/zarvik-foreign-root.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
mount -t proc proc "$root/proc"
cp "/usr/bin/$qemu" "$root/$qemu"
dpkg-deb --fsys-tarfile "$deb" | tar -C "$root" --keep-directory-symlink -xf -
# run PROGRAM [ARGUMENT...]: PROGRAM, a path in the userland, under qemu-user
# chrooted into it.
run() {
    env -i PATH=/usr/bin:/bin HOME=/root LANG=C.UTF-8 /usr/sbin/chroot "$root" "/$qemu" "$@"
}

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== $(basename "$deb") on $arch"
said=$(run /usr/bin/zarvik --version 2>&1) || true
[ "$said" = "zarvik $version" ] || fail "zarvik --version says '$said', the package is $version"
status=0
run /usr/bin/zarvik list >"$root/tmp/list.out" 2>"$root/tmp/list.err" || status=$?
[ "$status" -eq 3 ] || fail "zarvik list with no printer ended with $status, not 3: $(cat "$root/tmp/list.err")"
[ -s "$root/tmp/list.err" ] || fail "zarvik list with no printer said nothing"
echo "zarvik --version -> $said; zarvik list -> $status: $(cat "$root/tmp/list.err")"

if [ -n "$tgz" ]; then
    echo "== the portable folder on $arch"
    mkdir -p "$root/opt"
    tar -xzf "$tgz" -C "$root/opt"
    folder="/opt/$(basename "$tgz" .tar.gz)"
    for program in zarvik-update zarvik; do
        libraries=$(run "$loader" --list "$folder/$program" 2>&1) || fail "$program: $libraries"
        if grep "not found" <<<"$libraries"; then
            fail "libraries of $program missing on $arch"
        fi
    done
    # Under emulation the window takes a few seconds to start; one that
    # cannot start ends before the time is up.
    status=0
    timeout 8 env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen \
        /usr/sbin/chroot "$root" "/$qemu" "$folder/zarvik-update" >"$root/tmp/window.out" 2>&1 || status=$?
    [ "$status" -eq 124 ] || fail "the window ended with $status within 8 s: $(cat "$root/tmp/window.out")"
    said=$(run "$folder/zarvik" --version 2>&1) || true
    [ "$said" = "zarvik $version" ] || fail "the portable zarvik says '$said', not $version"
fi

echo "== the $arch package test took $((SECONDS - start)) s"
[ $failures -eq 0 ] || exit 1
echo "the $arch package works on a Debian 12 userland for $arch"
