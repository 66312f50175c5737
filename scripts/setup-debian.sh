#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the tool need.
# Safe to run again: it only calls apt-get when something is missing.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    libusb-1.0-0-dev libssl-dev qtbase5-dev
    googletest libgtest-dev libgmock-dev
    clang libclang-rt-14-dev
    xvfb xauth
    qemu-system-x86 linux-image-amd64 busybox-static cpio
    umockdev libumockdev-dev libglib2.0-dev
    libcli11-dev nlohmann-json3-dev
)
packages+=("$@")

# Installed means: of the architecture asked for (name:arch), else of the
# machine's own or of none (all); another architecture's copy does not count.
native=$(dpkg --print-architecture)
missing=()
for p in "${packages[@]}"; do
    want=$native
    case "$p" in *:*) want=${p##*:} ;; esac
    status=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$p" 2>/dev/null || true)
    grep -E -x "($want|all) installed" >/dev/null <<<"$status" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
# A package of another architecture (libusb-1.0-0-dev:arm64) needs that
# architecture in dpkg before apt-get update reads its package lists.
for p in "${missing[@]}"; do
    case "$p" in
    *:*)
        arch=${p##*:}
        # grep reads to the end (no -q): dpkg must not meet a closed pipe.
        if [ "$arch" != "$native" ] &&
            ! dpkg --print-foreign-architectures | grep -x "$arch" >/dev/null; then
            echo "adding the architecture $arch to dpkg"
            "${sudo[@]}" dpkg --add-architecture "$arch"
        fi
        ;;
    esac
done
echo "installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
