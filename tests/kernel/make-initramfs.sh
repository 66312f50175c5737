#!/usr/bin/env bash
# Makes the initramfs of the kernel test guest:
#   - busybox as /init's shell and tools (guest-init.sh becomes /init);
#   - the kernel modules for the USB stack with a gadget on it (dummy_hcd,
#     gadgetfs and what they need), in load order, from the installed kernel;
#   - three more gadgetfs, for four gadget printers at once (see below);
#   - udev's daemon (systemd-udevd, the host's own), which passes the
#     kernel's device events on to libudev, so that libusb's hotplug events
#     come as on any Linux machine;
#   - the gadget printer and the test program with every shared library they
#     load (their ldd closure, the dynamic loader included).
# Prints the kernel image the modules belong to: boot that one.
#
#   make-initramfs.sh --output FILE --gadget PROGRAM --test PROGRAM [--kernel-version VERSION]
#                     [--test-args "ARGUMENTS"]
#
# ARGUMENTS go to the test program in the guest (e.g. a GoogleTest filter).
# Without a version it takes the newest /boot/vmlinuz-* whose modules are
# installed.  Needs no root: the archive records every file as root's.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
output= gadget= test_program= version= test_args=
while [ $# -gt 0 ]; do
    case "$1" in
    --output) output=$2 ;;
    --gadget) gadget=$2 ;;
    --test) test_program=$2 ;;
    --kernel-version) version=$2 ;;
    --test-args) test_args=$2 ;;
    *) echo "make-initramfs.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
if [ -z "$output" ] || [ -z "$gadget" ] || [ -z "$test_program" ]; then
    echo "usage: make-initramfs.sh --output FILE --gadget PROGRAM --test PROGRAM [--kernel-version VERSION]" >&2
    exit 2
fi

fail() { echo "make-initramfs.sh: $*" >&2; exit 1; }

if [ -z "$version" ]; then
    for image in $(ls /boot/vmlinuz-* 2>/dev/null | sort -V -r); do
        candidate=${image#/boot/vmlinuz-}
        if [ -f "/lib/modules/$candidate/modules.dep" ]; then
            version=$candidate
            break
        fi
    done
    [ -n "$version" ] || fail "no /boot/vmlinuz-* with modules in /lib/modules (install linux-image-amd64)"
fi
kernel=/boot/vmlinuz-$version
moddir=/lib/modules/$version
[ -r "$kernel" ] || fail "cannot read $kernel"
[ -f "$moddir/modules.dep" ] || fail "no $moddir/modules.dep"
busybox=$(command -v busybox) || fail "no busybox (install busybox-static)"
command -v cpio >/dev/null || fail "no cpio"
udevd=$(readlink -f /lib/systemd/systemd-udevd 2>/dev/null) || true
[ -x "$udevd" ] || fail "no /lib/systemd/systemd-udevd (install udev)"

root=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-initramfs.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,dev,proc,sys,tmp,run,modules,lib/systemd,etc/udev/rules.d}

# Modules in load order: each after everything modules.dep says it needs.
declare -A placed=()
order=()
module_path() {
    # The modules.dep entry (relative path) of a module name; - and _ are one.
    local name=${1//-/[-_]}
    grep -E -o "^[^:]*/${name}\.ko(\.xz|\.zst|\.gz)?:" "$moddir/modules.dep" | head -n 1 | sed 's/:$//'
}
place() {
    local rel=$1
    [ -n "${placed[$rel]:-}" ] && return 0
    local deps
    deps=$(grep -E "^${rel//./\\.}:" "$moddir/modules.dep" | cut -d: -f2-)
    local dep
    for dep in $deps; do
        place "$dep"
    done
    placed[$rel]=1
    order+=("$rel")
}
for wanted in dummy_hcd gadgetfs; do
    rel=$(module_path "$wanted")
    [ -n "$rel" ] || fail "kernel $version has no module $wanted"
    place "$rel"
done
n=10
for rel in "${order[@]}"; do
    name=$(basename "$rel")
    target="$root/modules/$n-${name%%.ko*}.ko"
    case "$rel" in
    *.ko) cp "$moddir/$rel" "$target" ;;
    *.ko.xz) xz -dc "$moddir/$rel" >"$target" ;;
    *.ko.zst) zstd -qdc "$moddir/$rel" >"$target" ;;
    *.ko.gz) gzip -dc "$moddir/$rel" >"$target" ;;
    esac
    n=$((n + 1))
done

# gadgetfs serves one gadget per machine: one mount, on the first device
# controller it finds free.  dummy_hcd gives as many controllers as asked
# for, so more printers need more gadgetfs: copies of the module under other
# names (the module, its file system and its gadget driver are all named by
# the one string "gadgetfs", renamed here to one of the same length), loaded
# beside it, mounted as gadgetf1, gadgetf2 and gadgetf3.  A copy carries no
# signature: the kernel loads it and notes itself tainted.  (FunctionFS, the
# kernel's other way to a user-space gadget, renumbers the endpoints on
# dummy_hcd: the printer would not have its own.)
gadgetfs_module=$(ls "$root"/modules/*-gadgetfs.ko)
size=$(stat -c %s "$gadgetfs_module")
unsigned=$size
if [ "$(tail -c 28 "$gadgetfs_module")" = "~Module signature appended~" ]; then
    # The signature, its 12-byte description (its length in the last 4, big-endian) and the marker.
    signature=$(tail -c 32 "$gadgetfs_module" | head -c 4 | od -An -tu1 | awk '{print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4}')
    unsigned=$((size - 28 - 12 - signature))
fi
for copy in 1 2 3; do
    head -c "$unsigned" "$gadgetfs_module" | LC_ALL=C sed "s/gadgetfs/gadgetf$copy/g" >"$root/modules/$n-gadgetf$copy.ko"
    n=$((n + 1))
done

cp "$busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/guest-init.sh" "$root/init"
chmod 755 "$root/init"
cp "$gadget" "$root/bin/zarvik-gadget-printer"
# One program that is the daemon when it is called so.
cp "$udevd" "$root/bin/udevadm"
ln -s ../../bin/udevadm "$root/lib/systemd/systemd-udevd"
cp "$test_program" "$root/bin/kernel_link_test"
printf '%s\n' "$test_args" >"$root/test-args"

# Shared libraries at the paths the programs were linked to find them.
for program in "$gadget" "$test_program" "$busybox" "$udevd"; do
    { ldd "$program" 2>/dev/null || true; } | { grep -E -o '/[^ ]+' || true; } | while read -r lib; do
        [ -f "$lib" ] || continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
done

(cd "$root" && find . -mindepth 1 -print0 | LC_ALL=C sort -z | cpio --null -o -H newc -R 0:0 --quiet) >"$output"
echo "$kernel"
