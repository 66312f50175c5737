#!/usr/bin/env bash
# Boots the kernel test guest once and turns its result line into an exit
# status: 0 when the test program in the guest passed, 1 otherwise, 77 when
# QEMU, a kernel or busybox is missing (ctest counts that as skipped; with
# ZARVIK_KERNEL_TEST_REQUIRED=1 it is a failure instead).
#
#   run-guest.sh --gadget PROGRAM --test PROGRAM [--log FILE] [--limit SECONDS]
#                [--test-args "ARGUMENTS"]
#
# The guest runs under software emulation (TCG) and an outer time limit
# (default 150 s); its serial console is printed and, with --log, kept in
# FILE.  Everything else it makes lives in a temporary folder that is
# removed at the end.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
gadget= test_program= log= limit=150 test_args=
while [ $# -gt 0 ]; do
    case "$1" in
    --gadget) gadget=$2 ;;
    --test) test_program=$2 ;;
    --log) log=$2 ;;
    --limit) limit=$2 ;;
    --test-args) test_args=$2 ;;
    *) echo "run-guest.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
if [ -z "$gadget" ] || [ -z "$test_program" ]; then
    echo "usage: run-guest.sh --gadget PROGRAM --test PROGRAM [--log FILE] [--limit SECONDS]" >&2
    exit 2
fi

missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
command -v busybox >/dev/null || missing+=(busybox-static)
command -v cpio >/dev/null || missing+=(cpio)
ls /boot/vmlinuz-* >/dev/null 2>&1 || missing+=(linux-image-amd64)
if [ ${#missing[@]} -gt 0 ]; then
    echo "run-guest.sh: missing ${missing[*]} (scripts/setup-debian.sh installs them)"
    [ "${ZARVIK_KERNEL_TEST_REQUIRED:-0}" = 1 ] && exit 1
    exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-guest.XXXXXX")
qemu_pid=
cleanup() {
    [ -n "$qemu_pid" ] && kill "$qemu_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start=$SECONDS
kernel=$("$here/make-initramfs.sh" --output "$work/initramfs.cpio" --gadget "$gadget" --test "$test_program" \
    --test-args "$test_args")
echo "run-guest.sh: initramfs $(( $(stat -c %s "$work/initramfs.cpio") / 1024 )) KiB for $kernel, made in $((SECONDS - start)) s"

# The guest gives up a little before the host does, so that a hang in the
# guest still ends with its own result line.
guest_limit=$((limit > 30 ? limit - 15 : limit))
boot=$SECONDS
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel tcg -m 256M -smp 1 \
    -nodefaults -no-user-config -nographic -monitor none -no-reboot \
    -serial "file:$work/serial.log" \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet loglevel=4 panic=-1 zarvik.limit=$guest_limit" &
qemu_pid=$!
wait "$qemu_pid"
qemu_status=$?
qemu_pid=
set -e
wall=$((SECONDS - boot))

touch "$work/serial.log"
# The console as text: no carriage returns, no terminal control sequences of the firmware.
tr -d '\r' <"$work/serial.log" | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bc//g'
[ -n "$log" ] && cp "$work/serial.log" "$log"

echo "run-guest.sh: the guest ran $wall s (QEMU exit status $qemu_status)"
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
    echo "run-guest.sh: the guest did not end within $limit s"
    exit 1
fi
result=$(tr -d '\r' <"$work/serial.log" | sed -n 's/^zarvik-kernel-result: //p' | tail -n 1)
if [ -z "$result" ]; then
    echo "run-guest.sh: the guest ended without a result line"
    exit 1
fi
if [ "$result" != 0 ]; then
    echo "run-guest.sh: the guest's tests failed (result $result)"
    exit 1
fi
echo "run-guest.sh: the guest's tests passed"
