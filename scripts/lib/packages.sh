# Installing Debian packages the way every script of the project does it
# (sourced).  Safe to call again: apt-get runs only when something is missing.
#
#   install_packages PACKAGE...   installs those not installed yet; a package
#                                 of another architecture is written name:arch,
#                                 and that architecture is added to dpkg first
#
# Installed means: of the architecture asked for (name:arch), else of the
# machine's own or of none (all); another architecture's copy does not count.

install_packages() {
    local native sudo=() missing=() p want status arch
    native=$(dpkg --print-architecture)
    for p in "$@"; do
        want=$native
        case "$p" in *:*) want=${p##*:} ;; esac
        status=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$p" 2>/dev/null || true)
        grep -E -x "($want|all) installed" >/dev/null <<<"$status" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

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
}
