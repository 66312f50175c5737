# shellcheck shell=bash
# Installing Debian packages the way every script of the project does it
# (sourced).  Safe to call again: apt-get runs only when something is missing.
#
#   install_packages PACKAGE...   installs those not installed yet; a package
#                                 of another architecture is written name:arch,
#                                 and that architecture is added to dpkg first
#   update_package_lists          apt-get update, riding out a registry that
#                                 fails to serve an index for a while
#
# Installed means: of the architecture asked for (name:arch), else of the
# machine's own or of none (all); another architecture's copy does not count.
#
# The package registry can be caught mid-sync: an index of one architecture
# fails to download ("File has unexpected size ... Mirror sync in progress?"),
# or has not the newest version yet that another architecture's index has.
# So:
#   - an index that fails is fetched again after a pause; when it still fails,
#     the install goes on with the lists apt has, and stands or falls by what
#     it needs;
#   - a package apt has no candidate for fails at once, named;
#   - a Multi-Arch: same package (libssl3, libssl-dev) must be of one version
#     on every architecture it is installed for: when the indexes disagree on
#     the newest, the newest version all of those architectures have is named
#     for each of them (an installed one is never taken down: that fails);
#   - the install never removes a package;
#   - a download that fails is tried again after a pause; any other failure
#     fails, naming the packages.
# apt's locks are waited for, not failed on: another apt may be running.
#
#   ZARVIK_APT_PAUSES        the pauses between tries, in seconds (default
#                            "20 60 120": four tries)
#   ZARVIK_APT_LOCK_TIMEOUT  how long to wait for apt's locks (default 1200 s)
#
# Also for the other sourced helpers: _sudo (sudo unless root) and _apt_env
# (apt without questions).

_sudo=()
[ "$(id -u)" -eq 0 ] || _sudo=(sudo)
_apt_env=(env DEBIAN_FRONTEND=noninteractive)

# The indexes the last update_package_lists could not fetch ("Err:" lines).
_apt_failed_indexes=""

# _apt_run LOG SHOW ARGUMENT...: apt-get ARGUMENT... as root, in English (its
# messages are read), its output kept in LOG and shown when SHOW is 1.  dpkg's
# lock apt-get waits for itself; the package lists' and the archives' locks it
# does not, so a "Could not get lock" is waited out here.
_apt_run() {
    local log=$1 show=$2 timeout=${ZARVIK_APT_LOCK_TIMEOUT:-1200} waited=0 status
    shift 2
    while :; do
        {
            status=0
            "${_sudo[@]}" "${_apt_env[@]}" LC_ALL=C apt-get -o DPkg::Lock::Timeout="$timeout" "$@" 2>&1 ||
                status=$?
            echo "$status" >"$log.status"
        } | if [ "$show" = 1 ]; then tee "$log"; else cat >"$log"; fi
        status=$(cat "$log.status")
        if [ "$status" -ne 0 ] && grep -E '^E: (Could not get lock|Unable to lock)' "$log" >/dev/null &&
            [ "$waited" -lt "$timeout" ]; then
            [ "$waited" -eq 0 ] && echo "waiting for apt's lock: another apt is running"
            sleep 5
            waited=$((waited + 5))
            continue
        fi
        return "$status"
    done
}

# _apt_pauses: the pauses between tries, one a line.
_apt_pauses() {
    local pause
    for pause in ${ZARVIK_APT_PAUSES-20 60 120}; do
        echo "$pause"
    done
}

update_package_lists() {
    local log pauses=() try=0 status
    mapfile -t pauses < <(_apt_pauses)
    log=$(mktemp)
    while :; do
        status=0
        _apt_run "$log" 1 update -q || status=$?
        # apt-get update exits 0 for an index it "ignored" too.
        _apt_failed_indexes=$(grep -E '^Err:' "$log" || true)
        if [ "$status" -eq 0 ] && [ -z "$_apt_failed_indexes" ] &&
            ! grep -E 'Failed to fetch|unexpected size|Hash Sum mismatch|Some index files failed' "$log" >/dev/null; then
            rm -f "$log" "$log.status"
            return 0
        fi
        [ -n "$_apt_failed_indexes" ] || _apt_failed_indexes="apt-get update exited $status"
        if [ "$try" -ge ${#pauses[@]} ]; then
            echo "the package lists are not all fetched after $((try + 1)) tries; going on with what apt has" >&2
            rm -f "$log" "$log.status"
            return 0
        fi
        echo "the package registry failed to serve an index (mid-sync?): fetching the lists again in ${pauses[try]} s"
        sleep "${pauses[try]}"
        try=$((try + 1))
    done
}

# _apt_entries FILE NATIVE: the packages apt's report in FILE names, "name
# arch" a line: who has unmet dependencies, what they depend on or break, and
# what would be removed.  apt leaves the machine's own architecture unwritten.
_apt_entries() {
    awk -v native="$2" '
        function entry(p, part, n) { n = split(p, part, ":"); print part[1], (n > 1 ? part[2] : native) }
        /^The following packages have unmet dependencies:/ { unmet = 1; next }
        /^E: / { unmet = 0 }
        unmet {
            if ($2 == ":") entry($1)
            for (i = 1; i < NF; i++) if ($i ~ /^(Pre-Depends|Depends|Breaks|Conflicts):$/) entry($(i + 1))
        }
        /^Remv / { entry($2) }' "$1" | sort -u
}

# _apt_installed NAME ARCH: the version installed of NAME:ARCH, or nothing.
_apt_installed() {
    dpkg-query -W -f='${db:Status-Status} ${Version}\n' "$1:$2" 2>/dev/null |
        awk '$1 == "installed" { print $2 }'
}

# _apt_versions NAME ARCH: the versions of NAME:ARCH apt can install (from an
# index, or installed), one a line.
_apt_versions() {
    apt-cache show "$1:$2" 2>/dev/null | awk '
        /^Version: / { version = $2 }
        /^Filename: / || /^Status: install ok installed/ { ok = 1 }
        /^$/ { if (ok && version != "") print version; version = ""; ok = 0 }
        END { if (ok && version != "") print version }' | sort -u
}

_apt_candidate() {
    apt-cache policy "$1:$2" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }'
}

# _apt_pin_skew REPORT NATIVE REQUESTED...: pins (the caller's, "name:arch"
# to a version) a version for each architecture of every Multi-Arch: same
# package the report names whose candidates differ between the architectures
# it is installed, wanted or named for: the newest version all of them have.
# 0: pins were added; 1: nothing to pin; 2: it cannot be done without taking
# an installed package down, or no version is there for all (said why).
_apt_pin_skew() {
    local report=$1 native=$2 name a archs versions list common v installed same added=1
    shift 2
    local -a entries=()
    mapfile -t entries < <(_apt_entries "$report" "$native")
    for name in $(printf '%s\n' "${entries[@]}" | awk 'NF { print $1 }' | sort -u); do
        archs=$(
            for a in "$native" $(dpkg --print-foreign-architectures); do
                [ -z "$(_apt_installed "$name" "$a")" ] || echo "$a"
            done
            printf '%s\n' "${entries[@]}" | awk -v name="$name" '$1 == name { print $2 }'
            printf '%s\n' "$@" | awk -F: -v name="$name" -v native="$native" \
                '$1 == name { print (NF > 1 ? $2 : native) }'
        )
        archs=$(sort -u <<<"$archs" | xargs)
        apt-cache show "$name:${archs%% *}" 2>/dev/null | grep -x 'Multi-Arch: same' >/dev/null || continue
        [ "$(for a in $archs; do _apt_candidate "$name" "$a"; done | sort -u | wc -l)" -gt 1 ] || continue

        versions=""
        for a in $archs; do
            list=$(_apt_versions "$name" "$a")
            if [ "$a" = "${archs%% *}" ]; then versions=$list; else versions=$(comm -12 <(echo "$versions") <(echo "$list")); fi
        done
        common=""
        for v in $versions; do
            if [ -z "$common" ] || dpkg --compare-versions "$v" gt "$common"; then common=$v; fi
        done
        if [ -z "$common" ]; then
            echo "$name: no version of it is there for all of $archs: cannot install it (the registry is mid-sync?)" >&2
            return 2
        fi
        for a in $archs; do
            installed=$(_apt_installed "$name" "$a")
            if [ -n "$installed" ] && dpkg --compare-versions "$common" lt "$installed"; then
                echo "$name: the newest version all of $archs have is $common, below the $installed installed for $a;" \
                    "not taking it down, so it cannot be installed until the registry has one version for all (mid-sync?)" >&2
                return 2
            fi
        done
        same=1
        for a in $archs; do
            [ "${pins[$name:$a]-}" = "$common" ] || same=0
        done
        [ "$same" -eq 0 ] || continue
        echo "pinning $name to $common for ${archs// /, }: the mirror has not every architecture at the newest version yet"
        for a in $archs; do
            pins[$name:$a]=$common
        done
        added=0
    done
    return "$added"
}

# _apt_transient LOG: whether the failure in LOG is a download's.
_apt_transient() {
    grep -E 'Failed to fetch|Unable to fetch|unexpected size|Hash Sum mismatch|Temporary failure resolving|Could not (connect|resolve)|Connection (failed|timed out)|Undetermined Error|Connection reset' \
        "$1" >/dev/null
}

# _install_missing DIR NATIVE PACKAGE...: the install of PACKAGE..., none of
# them installed yet, with apt's outputs kept in DIR.
_install_missing() {
    local dir=$1 native=$2 p name arch status skew rounds=0 tries=0 unavailable removed
    shift 2
    local -a args=() pauses=()
    local -A pins=()
    mapfile -t pauses < <(_apt_pauses)
    update_package_lists
    while :; do
        # What is asked for, with the pinned versions in place of their packages.
        args=()
        for p in "$@"; do
            arch=$native
            case "$p" in *:*) arch=${p##*:} ;; esac
            [ -n "${pins[${p%%:*}:$arch]-}" ] || args+=("$p")
        done
        while read -r p; do
            [ -n "$p" ] || continue
            name=${p%%:*}
            arch=${p#*:}
            if [ "$arch" = "$native" ]; then args+=("$name=${pins[$p]}"); else args+=("$p=${pins[$p]}"); fi
        done < <(printf '%s\n' "${!pins[@]}" | sort)

        status=0
        _apt_run "$dir/simulate" 0 -s install -y -q --no-install-recommends "${args[@]}" || status=$?
        if [ "$status" -ne 0 ]; then
            unavailable=$(sed -n -E -e 's/^E: Unable to locate package (.*)/\1/p' \
                -e "s/^E: Package '(.*)' has no installation candidate/\1/p" \
                -e "s/^E: Version '.*' for '(.*)' was not found/\1/p" "$dir/simulate" | xargs)
            if [ -n "$unavailable" ]; then
                echo "not in apt's indexes (no such package, or no version of it to install), so it cannot be installed: $unavailable" >&2
                [ -z "$_apt_failed_indexes" ] ||
                    printf '(these indexes failed to download:\n%s)\n' "$_apt_failed_indexes" >&2
                return 1
            fi
        elif ! grep -E '^Remv ' "$dir/simulate" >/dev/null; then
            status=0
            _apt_run "$dir/install" 1 install -y -q --no-install-recommends --no-remove "${args[@]}" || status=$?
            [ "$status" -ne 0 ] || return 0
            if _apt_transient "$dir/install" && [ "$tries" -lt ${#pauses[@]} ]; then
                echo "a download failed: trying again in ${pauses[tries]} s"
                sleep "${pauses[tries]}"
                tries=$((tries + 1))
                update_package_lists
                continue
            fi
            echo "apt-get could not install: ${args[*]}" >&2
            return 1
        fi

        # apt cannot go ahead (or would remove packages): one version for
        # every architecture of a Multi-Arch: same package may mend it.
        skew=1
        if [ "$rounds" -lt 5 ]; then
            skew=0
            _apt_pin_skew "$dir/simulate" "$native" "$@" || skew=$?
            [ "$skew" -ne 2 ] || return 1
        fi
        rounds=$((rounds + 1))
        [ "$skew" -eq 0 ] && continue
        grep -v -E '^(Inst|Conf) ' "$dir/simulate" >&2
        removed=$(sed -n -E 's/^Remv ([^ ]+) .*/\1/p' "$dir/simulate" | xargs)
        if [ -n "$removed" ]; then
            echo "installing ${args[*]} would remove $removed: not doing that" >&2
        else
            echo "apt cannot install: ${args[*]}" >&2
        fi
        return 1
    done
}

install_packages() {
    local native missing=() p want status arch dir
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
    dir=$(mktemp -d)
    status=0
    _install_missing "$dir" "$native" "${missing[@]}" || status=$?
    rm -rf "$dir"
    return "$status"
}
