#!/usr/bin/env bash
# The Linux downloads as a user meets them, in a fresh Debian 12 made here
# from Debian's packages (debootstrap, minbase) and entered with chroot:
#
#   package-test.sh ZARVIK_DEB PORTABLE_TAR_GZ [EMULATOR]      (as root)
#
# - apt-get installs the .deb with the dependencies it names;
# - `zarvik --version` gives the package's version; `zarvik list` with no
#   printer ends with status 3 and says so; `man zarvik` shows the page;
#   the udev rule is where udev reads it;
# - an ordinary user updates a printer with the installed zarvik, without
#   --log: on the emulated printer of EMULATOR (zarvik-printer-emulator from
#   the native build; umockdev is installed for it), every file arrives whole
#   and the log is made in the user's state folder, nothing under /usr.
#   Without EMULATOR the user runs an update with no printer attached;
# - the portable folder, unpacked, runs its window (offscreen, for a second)
#   once the runtime packages its README names are installed;
# - removing the package leaves none of its files behind.
#
# The base system is made once and kept as a tarball in the cache folder
# (${ZARVIK_CACHE_DIR:-~/.cache/zarvik}/debian12-minbase-<arch>.tar, made
# again after a week); every run unpacks a fresh copy of it.
set -euo pipefail
[ $# -eq 2 ] || [ $# -eq 3 ] || { echo "usage: $0 ZARVIK_DEB PORTABLE_TAR_GZ [EMULATOR]" >&2; exit 2; }
deb=$(realpath "$1")
tgz=$(realpath "$2")
emulator=${3:+$(realpath "$3")}
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (debootstrap, chroot)" >&2; exit 2; }

arch=$(dpkg --print-architecture)
cache="${ZARVIK_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/zarvik}"
base="$cache/debian12-minbase-$arch.tar"
start=$SECONDS

mirror=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
    awk '$1 == "deb" && $2 == "bookworm" && !repo { repo = $3 } END { print repo }')
mirror=${mirror:-http://deb.debian.org/debian/}

if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
    echo "== a Debian 12 base system (debootstrap, from $mirror)"
    made=$(mktemp -d /var/tmp/zarvik-base.XXXXXX)
    debootstrap --variant=minbase --arch="$arch" bookworm "$made" "$mirror" >"$made.log" 2>&1 ||
        { tail -n 20 "$made.log" >&2; exit 1; }
    mkdir -p "$cache"
    tar -C "$made" -cf "$base.new" . && mv "$base.new" "$base"
    rm -rf "$made" "$made.log"
fi

root=$(mktemp -d /var/tmp/zarvik-chroot.XXXXXX)
cleanup() {
    umount "$root/proc" 2>/dev/null || true
    rm -rf "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$base"
chmod 755 "$root"  # the chroot's /, whatever the base's folder had: an ordinary user goes through it
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
cp "$deb" "$tgz" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"; }
apt_quiet() { in_root apt-get -q -y -o Dpkg::Use-Pty=0 "$@" >>"$root/tmp/apt.log" 2>&1 ||
    { tail -n 30 "$root/tmp/apt.log" >&2; exit 1; }; }

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== apt-get install ./$(basename "$deb")"
apt_quiet update
apt_quiet install "./tmp/$(basename "$deb")"
version=$(dpkg-deb -f "$deb" Version)
files=$(in_root dpkg -L zarvik)

said=$(in_root zarvik --version)
[ "$said" = "zarvik $version" ] || fail "zarvik --version says '$said', the package is $version"

status=0
in_root zarvik list >"$root/tmp/list.out" 2>"$root/tmp/list.err" || status=$?
[ "$status" -eq 3 ] || fail "zarvik list with no printer ended with $status, not 3"
[ -s "$root/tmp/list.err" ] || fail "zarvik list with no printer said nothing"
echo "zarvik list -> $status: $(cat "$root/tmp/list.err")"

[ -f "$root/usr/lib/udev/rules.d/70-zarvik.rules" ] || fail "no udev rule in /usr/lib/udev/rules.d"

echo "== zarvik update as an ordinary user, without --log"
in_root useradd --create-home printer-user
as_user() { in_root runuser -u printer-user -- env HOME=/home/printer-user sh -c "cd && $1"; }
as_user 'mkdir fw && head -c 70000 /dev/urandom >fw/Main.bin && head -c 9000 /dev/urandom >fw/fonts.xbf'
status=0
if [ -n "$emulator" ]; then
    apt_quiet install --no-install-recommends umockdev
    cp "$emulator" "$root/usr/local/bin/zarvik-printer-emulator"
    # The guard it loads ahead of umockdev's preload lies beside it.
    cp "$(dirname "$emulator")"/libzarvik_open_guard.so "$root/usr/local/bin/"
    as_user '/usr/local/bin/zarvik-printer-emulator --printer target --store store -- zarvik update --firmware fw' \
        >"$root/tmp/update.out" 2>&1 || status=$?
    [ "$status" -eq 0 ] || fail "the user's update ended with $status: $(cat "$root/tmp/update.out")"
    home="$root/home/printer-user"
    for f in Main.bin:orbrey.bin fonts.xbf:fonts.xbf; do
        cmp -s "$home/fw/${f%%:*}" "$home/store/printer-1/0%3A%2Fsys%2F${f#*:}" || fail "the printer's ${f#*:} differs"
    done
    taken=$(grep -c "complete=1 installed=1" "$home/store/summary.txt" || true)
    [ "$taken" = 2 ] || fail "the printer took up $taken whole files, not 2: $(cat "$home/store/summary.txt")"
    ls "$home/.local/state/zarvik/log"/libcom-*.log >/dev/null 2>&1 || fail "no log in ~/.local/state/zarvik/log"
else
    as_user 'zarvik update --firmware fw' >"$root/tmp/update.out" 2>&1 || status=$?
    [ "$status" -eq 3 ] || fail "the user's update with no printer ended with $status, not 3"
fi
echo "zarvik update as printer-user -> $status"
[ ! -e "$root/usr/bin/log" ] || fail "zarvik made /usr/bin/log"

apt_quiet install --no-install-recommends man-db
page=$(in_root env MANPAGER=cat MANWIDTH=80 man zarvik 2>&1 || true)
grep -q "zarvik - update the firmware" <<<"$page" || fail "man zarvik: $page"
grep -q "zarvik update" <<<"$page" || fail "man zarvik has no section on zarvik update"

echo "== the portable folder"
in_root tar -xzf "/tmp/$(basename "$tgz")" -C /opt
folder="/opt/$(basename "$tgz" .tar.gz)"
needs=$(sed -n 's/^Needs, on Debian 12: sudo apt-get install //p' "$root$folder/README.txt")
[ -n "$needs" ] || fail "the portable README names no runtime packages"
# shellcheck disable=SC2086
apt_quiet install --no-install-recommends $needs
missing=$(in_root sh -c "ldd $folder/zarvik-update $folder/zarvik" | grep "not found" || true)
[ -z "$missing" ] || fail "libraries missing: $missing"
status=0
in_root sh -c "cd / && QT_QPA_PLATFORM=offscreen timeout 2 $folder/zarvik-update" \
    >"$root/tmp/window.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the window ended with $status within a second: $(cat "$root/tmp/window.out")"
in_root "$folder/zarvik" --version | grep -qx "zarvik $version" || fail "the portable zarvik is not $version"

echo "== apt-get purge zarvik"
apt_quiet purge zarvik
apt_quiet autoremove --purge
left=""
for f in $files; do
    [ -f "$root$f" ] || [ -L "$root$f" ] && left+=" $f"
done
[ -z "$left" ] || fail "left behind:$left"
in_root dpkg-query -W zarvik >/dev/null 2>&1 && fail "dpkg still knows zarvik"

echo "== the package test took $((SECONDS - start)) s"
[ $failures -eq 0 ] || exit 1
echo "the Debian package and the portable folder work in a fresh Debian 12"
