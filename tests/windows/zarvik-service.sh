#!/usr/bin/env bash
# zarvik.exe and the printer maker's background service "SpoolHub", under
# wine, with the test service (zarvik_test_service.exe) installed under that
# name.  Wine passes no USB device to Windows programs, so zarvik.exe finds
# no printer (status 3) after the service step.
#
#   zarvik-service.sh WINE_RUN PREFIX ZARVIK_EXE TEST_SERVICE_EXE WORK_DIR
#
# Cases:
#   missing    no SpoolHub: nothing is said about it, status 3
#   running    SpoolHub running: stopped, then started again as a new service
#              process; standard error says both, around the printer search
#   json       the same with --json: the two service events, one JSON object a line
#   list       list holds the service as update does
#   refusing   SpoolHub does not take stop requests: status 1, its name and the
#              reason on standard error, no printer searched, still running
#   stuck      SpoolHub takes the stop request, then makes no progress for 3 s:
#              status 1, the reason said, and it is started again all the same
#              once it has stopped, as a new service process
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 WINE_RUN PREFIX ZARVIK_EXE TEST_SERVICE_EXE WORK_DIR" >&2; exit 2; }
run=$1 prefix=$2 zarvik=$3 services_exe=$4 work=$5

rm -rf "$work"
mkdir -p "$work/firmware"
printf 'a main image of a few bytes' >"$work/firmware/main.bin"
firmware="Z:$work/firmware"

failures=0
fail() {
    echo "FAIL [$case]: $*" >&2
    failures=$((failures + 1))
}

services() { "$run" "$prefix" "$services_exe" "$@" 2>&1 | tr -d '\r'; }
state() { services state SpoolHub; }

# zarvik ARGS...: runs zarvik.exe; status in $status, output in $out and $err.
zarvik() {
    set +e
    "$run" "$prefix" "$zarvik" "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
    printf '%s\n' "--- zarvik.exe $* (status $status)" "$out" "$err"
}

stopped_line="zarvik: stopped the background service SpoolHub, which holds the printers; it is started again when zarvik ends"
started_line="zarvik: started the background service SpoolHub again"

# The lines of $2 that contain one of the fixed strings that follow, in order.
in_order() {
    local text=$1 at=0 n
    shift
    for want in "$@"; do
        n=$(printf '%s\n' "$text" | grep -nF -- "$want" | cut -d: -f1 | sed -n 1p || true)
        [ -n "$n" ] && [ "$n" -gt "$at" ] || return 1
        at=$n
    done
}

cleanup() { services release SpoolHub >/dev/null || true; services delete SpoolHub >/dev/null || true; }
trap cleanup EXIT
cleanup

case=missing
zarvik update --no-history --firmware "$firmware"
[ "$status" = 3 ] || fail "status $status, not 3"
printf '%s' "$err" | grep 'background service' >/dev/null && fail "says something about a service that is not there"
[ "$(state)" = "missing 0" ] || fail "SpoolHub is $(state)"

case=running
services install SpoolHub stop=pending steps=3 hint=100 >/dev/null || fail "cannot install the test service"
services start SpoolHub >/dev/null || fail "cannot start the test service"
before=$(state)
[ "${before%% *}" = running ] || fail "the test service does not run: $before"
zarvik update --no-history --firmware "$firmware"
[ "$status" = 3 ] || fail "status $status, not 3"
in_order "$err" "$stopped_line" "no Halvenn Orbrey 3D Printer attached" "$started_line" ||
    fail "standard error does not say: stopped, no printer, started again"
after=$(state)
[ "${after%% *}" = running ] || fail "SpoolHub is not running afterwards: $after"
[ "${after#* }" != "${before#* }" ] || fail "SpoolHub runs in the same process as before ($after): it was never stopped"
echo "SpoolHub before: $before, after: $after"

case=json
zarvik update --no-history --firmware "$firmware" --json
[ "$status" = 3 ] || fail "status $status, not 3"
[ "$(printf '%s\n' "$out" | head -n 1)" = '{"event":"service","name":"SpoolHub","action":"stopped"}' ] ||
    fail "the first line is not the stop event"
[ "$(printf '%s\n' "$out" | tail -n 1)" = '{"event":"service","name":"SpoolHub","action":"started"}' ] ||
    fail "the last line is not the start event"
printf '%s\n' "$out" | grep -v '^{.*}$' >/dev/null && fail "a line that is not one JSON object"
[ "$(state | cut -d' ' -f1)" = running ] || fail "SpoolHub is not running afterwards"

case=list
zarvik list
[ "$status" = 3 ] || fail "status $status, not 3"
in_order "$err" "$stopped_line" "$started_line" || fail "list does not hold the service"
[ "$(state | cut -d' ' -f1)" = running ] || fail "SpoolHub is not running afterwards"

case=refusing
services delete SpoolHub >/dev/null
services install SpoolHub stop=refuse >/dev/null || fail "cannot install the test service"
services start SpoolHub >/dev/null || fail "cannot start the test service"
zarvik update --no-history --firmware "$firmware"
[ "$status" = 1 ] || fail "status $status, not 1"
printf '%s\n' "$err" | grep -F "zarvik: cannot stop the background service SpoolHub, which holds the printers: it does not take stop requests (system error 1052); no printer was opened" >/dev/null ||
    fail "the service and the reason are not named"
printf '%s' "$err" | grep 'printer attached' >/dev/null && fail "printers were searched"
[ "$(state | cut -d' ' -f1)" = running ] || fail "SpoolHub is not running afterwards"

case=stuck
services delete SpoolHub >/dev/null
services install SpoolHub stop=stuck steps=2 hint=100 give-up=3000 >/dev/null || fail "cannot install the test service"
services start SpoolHub >/dev/null || fail "cannot start the test service"
before=$(state)
zarvik update --no-history --firmware "$firmware"
[ "$status" = 1 ] || fail "status $status, not 1"
in_order "$err" "zarvik: cannot stop the background service SpoolHub, which holds the printers: it stopped making progress (system error 1053); no printer was opened" "$started_line" ||
    fail "standard error does not say: cannot stop, started again"
after=$(state)
[ "${after%% *}" = running ] || fail "SpoolHub is not running afterwards: $after"
[ "${after#* }" != "${before#* }" ] || fail "SpoolHub runs in the same process as before ($after)"
echo "SpoolHub before: $before, after: $after"

if [ $failures -gt 0 ]; then
    echo "$failures failures" >&2
    exit 1
fi
echo "all cases passed"
