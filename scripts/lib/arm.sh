# The ARM cross builds' Debian packages, for scripts/test-arm.sh and
# scripts/package-linux.sh (sourced).  Each function prints the packages for
# one Debian architecture (arm64, armhf); scripts/setup-debian.sh installs
# them, adding the architecture to dpkg first.
#
#   arm_packages ARCH         the cross compiler, the target's libraries, and
#                             qemu-user to run what is built (the udev rule's
#                             and the man page's makers, the tests)
#   arm_test_packages ARCH    GoogleTest for the target
#   arm_window_packages ARCH  Qt 5 for the target (its moc and uic are the
#                             build machine's, from qtbase5-dev-tools)
#
# libssl-dev is libcrypto for the update core's checksums, libsqlite3-dev the
# update history's SQLite.

arm_architectures=(arm64 armhf)

arm_packages() {
    echo "qemu-user-static crossbuild-essential-$1 libstdc++6:$1 libusb-1.0-0-dev:$1 libssl-dev:$1 libsqlite3-dev:$1"
}

arm_test_packages() {
    echo "libgtest-dev:$1 libgmock-dev:$1"
}

arm_window_packages() {
    echo "qtbase5-dev:$1 qtbase5-dev-tools"
}
