# Installing Debian packages the way every script of the project does it
# (sourced).  Safe to call again: apt-get runs only when something is missing.
#
#   install_packages PACKAGE...   installs those not installed yet; a package
#                                 of another architecture is written name:arch,
#                                 and that architecture is added to dpkg first
#
# Installed means: of the architecture asked for (name:arch), else of the
# machine's own or of none (all); another architecture's copy does not count.
#
# Also for the other sourced helpers: _sudo (sudo unless root) and _apt_env
# (apt without questions).

_sudo=()
[ "$(id -u)" -eq 0 ] || _sudo=(sudo)
_apt_env=(env DEBIAN_FRONTEND=noninteractive)

install_packages() {
    local native missing=() p want status arch
    native=$(dpkg --print-architecture)
    for p in "$@"; do
        want=$native
        case "$p" in *:*) want=${p##*:} ;; esac
        status=$(dpkg-query -W -f='${Architecture} ${db:Status-Status}\n' "$p" 2>/dev/null || true)
        grep -E -x "($want|all) installed" >/dev/null <<<"$status" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

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
                "${_sudo[@]}" dpkg --add-architecture "$arch"
            fi
            ;;
        esac
    done
    echo "installing: ${missing[*]}"
    "${_sudo[@]}" "${_apt_env[@]}" apt-get update -q
    "${_sudo[@]}" "${_apt_env[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
