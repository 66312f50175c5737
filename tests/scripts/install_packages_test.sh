#!/usr/bin/env bash
# install_packages (scripts/lib/packages.sh) against apt-get, apt-cache, dpkg
# and dpkg-query stand-ins that replay apt's recorded outputs (apt/), on a
# machine of amd64 with arm64 and armhf added: no network, no root, no pause
# (sleep only notes what it was asked to wait).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lib="$here/../../scripts/lib/packages.sh"
real_dpkg=$(command -v dpkg)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bin="$work/bin"
mkdir -p "$bin"
# apt-get: the outputs named in STUB_UPDATE, STUB_SIMULATE and STUB_INSTALL, one a
# call, the last one again when they run out; a file's first line is the status.
cat >"$bin/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case " $* " in *" update "*) kind=update ;; *" -s "*) kind=simulate ;; *) kind=install ;; esac
var=STUB_${kind^^}
read -r -a outputs <<<"${!var}"
n=$(cat "$STUB/$kind" 2>/dev/null || echo 0)
echo $((n + 1)) >"$STUB/$kind"
[ "$n" -lt ${#outputs[@]} ] || n=$((${#outputs[@]} - 1))
file="$FIXTURES/$kind-${outputs[n]}.txt"
tail -n +2 "$file"
exit "$(head -n 1 "$file" | cut -d' ' -f2)"
EOF
cat >"$bin/apt-cache" <<'EOF'
#!/usr/bin/env bash
name=${2%%:*} arch=${2#*:}
case $1 in
show) awk -v RS= -v ORS='\n\n' -v p="Package: $name\n" -v a="\nArchitecture: $arch\n" \
    'index($0 "\n", p) == 1 && index($0 "\n", a)' "$FIXTURES/apt-cache-show.txt" ;;
policy) [ "$arch" = amd64 ] && header="$name:" || header="$2:"
    awk -v h="$header" '/^[^ ]/ { on = ($0 == h) } on' "$FIXTURES/apt-cache-policy.txt" ;;
esac
EOF
# The installed packages: STUB_INSTALLED, "name:arch=version" each.
cat >"$bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
format=${2#-f=} found=1
for p in $STUB_INSTALLED; do
    name=${p%%:*} arch=${p#*:} arch=${arch%%=*} version=${p#*=}
    case "$3" in "$name" | "$name:$arch") ;; *) continue ;; esac
    out=${format//'${Architecture}'/$arch}
    out=${out//'${db:Status-Status}'/installed}
    printf '%b' "${out//'${Version}'/$version}"
    found=0
done
exit $found
EOF
cat >"$bin/dpkg" <<EOF
#!/usr/bin/env bash
case \$1 in
--print-architecture) echo amd64 ;;
--print-foreign-architectures) printf 'arm64\narmhf\n' ;;
--add-architecture) echo "dpkg \$*" >>"\$STUB/calls" ;;
*) exec "$real_dpkg" "\$@" ;;
esac
EOF
# shellcheck disable=SC2016
printf '#!/bin/sh\necho "sleep $1" >>"$STUB/calls"\n' >"$bin/sleep"
printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
chmod +x "$bin"/*

ssl_installed="libssl3:amd64=3.0.19-1~deb12u2 libssl-dev:amd64=3.0.19-1~deb12u2"
v=3.0.20-1~deb12u2
install="^apt-get -o DPkg::Lock::Timeout=1200 install -y -q --no-install-recommends --no-remove"
pinned=""
for p in libssl3 libssl3:arm64 libssl3:armhf libssl-dev libssl-dev:arm64 libssl-dev:armhf; do
    pinned+="$install( .*)? $p=$v;"
done

# NAME | INSTALLED | PACKAGES | UPDATES | SIMULATIONS | INSTALLS | STATUS | then
# patterns (;-separated) for: the output | the calls | what no call has
cases=(
    "installed already|cmake:amd64=3.25.1-1|cmake|ok|ok|ok|0|||apt-get"
    "no such package fails at once, named|-|nosuch-pkg|ok|unknown|ok|1|cannot be installed: nosuch-pkg$|update|sleep;$install"
    "an index mid-sync, fetched again|-|libssl3:arm64|mid-sync ok|ok|ok|0|fetching the lists again in 20 s|^sleep 20$;$install libssl3:arm64$|sleep 60"
    "an index ignored on every try: goes on|-|libssl3:arm64|ignored|ok|ok|0|not all fetched after 4 tries|^sleep 20$;^sleep 60$;^sleep 120$;$install libssl3:arm64$|"
    "the lists' lock waited for|-|libssl3:arm64|locked ok|ok|ok|0|waiting for apt's lock|^sleep 5$;$install libssl3:arm64$|sleep 20"
    "versions skewed across architectures: pinned|$ssl_installed|libssl-dev:arm64 libssl-dev:armhf|ok|skew ok|ok|0|^pinning libssl3 to $v for amd64, arm64, armhf: the mirror has not every architecture at the newest version yet$;^pinning libssl-dev to $v for amd64, arm64, armhf|$pinned|$install.* libssl-dev:arm64 ;$install.* libssl-dev:arm64$"
    "an installed version never taken down|libssl3:amd64=3.0.21-1~deb12u1 libssl-dev:amd64=3.0.21-1~deb12u1|libssl-dev:arm64 libssl-dev:armhf|ok|skew|ok|1|^libssl[-3][a-z]*: the newest version all of amd64 arm64 armhf have is $v, below the 3.0.21-1~deb12u1 installed for amd64|-s install|$install;^pinning"
    "an install that would remove refused|-|libssl-dev:arm64|ok|removes|ok|1|would remove libpq-dev: not doing that|-s install|$install"
    "a download failed, tried again|-|libssl3:arm64|ok|ok|fetch-failed ok|0|a download failed: trying again in 20 s|^sleep 20$|sleep 60"
    "a package's own failure fails at once|-|libssl3:arm64|ok|ok|dpkg-error|1|apt-get could not install: libssl3:arm64$|$install|sleep"
)

failures=0
for row in "${cases[@]}"; do
    IFS='|' read -r name installed packages updates simulations installs status out calls not_calls <<<"$row"
    export STUB="$work/case" FIXTURES="$here/apt" STUB_UPDATE="$updates" STUB_SIMULATE="$simulations" \
        STUB_INSTALL="$installs" STUB_INSTALLED="${installed#-}"
    rm -rf "$STUB" && mkdir -p "$STUB" && touch "$STUB/calls"
    got=0
    # shellcheck disable=SC2086
    PATH="$bin:$PATH" bash -c '. "$1"; shift; install_packages "$@"' - "$lib" $packages >"$STUB/out" 2>&1 || got=$?
    problems=()
    [ "$got" -eq "$status" ] || problems+=("exit status $got, not $status")
    IFS=';' read -r -a patterns <<<"$out"
    for p in "${patterns[@]}"; do grep -E -e "$p" "$STUB/out" >/dev/null || problems+=("no '$p' in the output"); done
    IFS=';' read -r -a patterns <<<"$calls"
    for p in "${patterns[@]}"; do grep -E -e "$p" "$STUB/calls" >/dev/null || problems+=("no '$p' among the calls"); done
    IFS=';' read -r -a patterns <<<"$not_calls"
    for p in "${patterns[@]}"; do ! grep -E -e "$p" "$STUB/calls" >/dev/null || problems+=("'$p' among the calls"); done
    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok: $name"
    else
        failures=$((failures + 1))
        echo "FAILED: $name"
        printf '  %s\n' "${problems[@]}"
        sed 's/^/  call: /' "$STUB/calls"
        sed 's/^/  out: /' "$STUB/out"
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures of ${#cases[@]} failed"; exit 1; }
echo "all ${#cases[@]} passed"
