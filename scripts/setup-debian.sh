#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tool need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    libusb-1.0-0-dev libssl-dev libsqlite3-dev sqlite3 qtbase5-dev
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    xvfb xauth
    qemu-system-x86 linux-image-amd64 busybox-static cpio udev
    umockdev libumockdev-dev libglib2.0-dev
    libcli11-dev nlohmann-json3-dev
    python3-jsonschema
)
packages+=("$@")

# shellcheck source=lib/packages.sh
. "$(dirname "$0")/lib/packages.sh"
install_packages "${packages[@]}"
