# Fetching Debian's own source packages for the Windows cross build.
# Sourced by scripts/test-windows.sh and scripts/build-qt-windows.sh.
#
#   ensure_deb_src            adds a deb-src entry for bookworm to apt's sources
#                             (/etc/apt/sources.list.d/bookworm-src.list) when
#                             there is none, and updates the package lists
#   source_version PACKAGE    the version apt would fetch of a source package
#   fetch_source PACKAGE DIR  downloads the source package into DIR

# shellcheck source=packages.sh
. "$(dirname "${BASH_SOURCE[0]}")/packages.sh"  # _sudo, update_package_lists

ensure_deb_src() {
    # grep reads to the end (no -q): apt-get must not meet a closed pipe.
    if apt-get indextargets --format '$(TARGET_OF) $(RELEASE)' | grep -x 'deb-src bookworm' >/dev/null; then
        return 0
    fi
    local repo options=""
    repo=$(apt-get indextargets --format '$(TARGET_OF) $(RELEASE) $(REPO_URI)' |
        awk '$1 == "deb" && $2 == "bookworm" && !repo { repo = $3 } END { print repo }')
    if [ -z "$repo" ]; then
        echo "no bookworm package repository configured: cannot add its sources" >&2
        return 1
    fi
    [ -f /usr/share/keyrings/debian-archive-keyring.gpg ] &&
        options="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
    echo "adding: deb-src $options$repo bookworm main"
    echo "deb-src $options$repo bookworm main" |
        "${_sudo[@]}" tee /etc/apt/sources.list.d/bookworm-src.list >/dev/null
    update_package_lists
}

source_version() {
    apt-cache showsrc "$1" 2>/dev/null | awk '$1 == "Version:" && !version { version = $2 } END { print version }'
}

fetch_source() {
    local options=()
    # As root, apt downloads as the user _apt, who may not write there.
    [ "$(id -u)" -eq 0 ] && options=(-o APT::Sandbox::User=root)
    mkdir -p "$2"
    (cd "$2" && apt-get "${options[@]}" source --download-only -q "$1")
}
