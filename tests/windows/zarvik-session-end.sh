#!/usr/bin/env bash
# zarvik-emulated.exe under wine while wine ends the session (wineboot
# --end-session): wine asks every top-level window with WM_QUERYENDSESSION,
# and on a refusal calls the end off (WM_ENDSESSION with FALSE) and ends
# with status 1.  The printers are on full-speed links of their own, so that
# an update of a 2 MiB image takes about two seconds of real time.
#
#   zarvik-session-end.sh WINE_RUN ZARVIK_EMULATED_EXE WORK_DIR
#
# The end of a session reaches every program of the wine prefix, and wine
# ends those that let it through: the test has a prefix of its own in
# WORK_DIR (made afresh, about 15 s).
#
# The end comes during the upload: it is refused, and the update of both
# printers goes on to its end (status 0).
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 WINE_RUN ZARVIK_EMULATED_EXE WORK_DIR" >&2; exit 2; }
run=$1 zarvik=$2 work=$3
prefix=$work/prefix

rm -rf "$work"
mkdir -p "$work/firmware" "$work/log"
"$run" "$prefix" --init
"$run" "$prefix" --start
trap '"$run" "$prefix" --stop' EXIT
head -c $((2 * 1024 * 1024)) /dev/urandom >"$work/firmware/main.bin"

failures=0
fail() {
    echo "FAIL [$case]: $*" >&2
    failures=$((failures + 1))
}

case=updating
ZARVIK_EMULATED_PRINTERS=1:5,1:6 ZARVIK_EMULATED_WIRE=full \
    "$run" "$prefix" "$zarvik" update --all --firmware "Z:$work/firmware" --log "Z:$work/log" \
    >"$work/out" 2>"$work/err" &
update=$!
# Until the upload runs: both printers' logs hold their upload request.
for _ in $(seq 100); do
    [ "$(cat "$work"/log/*/libcom-*.log 2>/dev/null | grep -c '~M28 ' || true)" -ge 2 ] && break
    sleep 0.1
done
set +e
"$run" "$prefix" wineboot --end-session --kill >/dev/null 2>&1
ended=$?
wait $update
status=$?
set -e
out=$(tr -d '\r' <"$work/out")
printf '%s\n' "--- wineboot --end-session --kill during the update: status $ended; zarvik (status $status):" "$out"
[ "$ended" = 1 ] || fail "the end of the session was not refused (wineboot status $ended)"
[ "$status" = 0 ] || fail "zarvik status $status, not 0"
printf '%s\n' "$out" | grep -F "summary: 2 of 2 printers updated" >/dev/null || fail "not both printers updated"

if [ $failures -gt 0 ]; then
    echo "$failures failures" >&2
    exit 1
fi
echo "all cases passed"
