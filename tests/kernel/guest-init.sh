#!/bin/sh
# /init of the kernel test guest (see make-initramfs.sh).  Starts udev's
# daemon (libusb's hotplug events come through it), loads the USB
# stack with four dummy host and device controllers, mounts gadgetfs on
# /dev/gadget and its copies on /dev/gadget1 to 3 (one gadget printer each),
# runs the test program and ends with one result line on the console:
#   zarvik-kernel-result: STATUS
# then powers the machine off.
/bin/busybox mount -t devtmpfs devtmpfs /dev
exec 0</dev/console 1>/dev/console 2>&1
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp

result() {
    echo "zarvik-kernel-result: $1"
    poweroff -f
}

# The host's timeout catches a hang as well, but silently; this says so.
limit=$(sed -n 's/.*zarvik.limit=\([0-9]*\).*/\1/p' /proc/cmdline)
( sleep "${limit:-120}"; echo "zarvik-kernel: the guest's time limit of ${limit:-120} s passed"; result timeout ) &

mkdir -p /run/udev
/lib/systemd/systemd-udevd --daemon --resolve-names=never || { echo "zarvik-kernel: udevd did not start"; result 3; }

for module in /modules/*.ko; do
    case $module in
    *-dummy_hcd.ko) insmod "$module" num=4 ;;
    *) insmod "$module" ;;
    esac || { echo "zarvik-kernel: insmod $module failed"; result 3; }
done
mkdir -p /dev/gadget
mount -t gadgetfs gadgetfs /dev/gadget || { echo "zarvik-kernel: cannot mount gadgetfs"; result 3; }
for copy in 1 2 3; do
    mkdir -p /dev/gadget$copy
    mount -t gadgetf$copy gadgetf$copy /dev/gadget$copy || { echo "zarvik-kernel: cannot mount gadgetf$copy"; result 3; }
done
echo "zarvik-kernel: kernel $(uname -r), device controllers $(ls /sys/class/udc | tr '\n' ' ')up $(cut -d' ' -f1 /proc/uptime) s"

cd /tmp
/bin/kernel_link_test --gadget /bin/zarvik-gadget-printer --gtest_color=no $(cat /test-args)
status=$?
echo "zarvik-kernel: tests ended at $(cut -d' ' -f1 /proc/uptime) s"
result $status
