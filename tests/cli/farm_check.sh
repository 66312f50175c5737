#!/usr/bin/env bash
# zarvik update --all through the real libusb-1.0, four printers on the
# umockdev printer emulator at once: every printer must hold exactly the
# firmware files, each whole and taken up, and every printer's log must be
# its own.
#   farm_check.sh EMULATOR ZARVIK
set -euo pipefail
emulator=$1
zarvik=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-farm.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/fw"
head -c 70000 /dev/urandom >"$work/fw/Main-2.4.bin"
head -c 300 /dev/urandom >"$work/fw/zz-image.bin"  # not the first bin by name: not sent
head -c 9000 /dev/urandom >"$work/fw/fonts.xbf"
echo notes >"$work/fw/readme.txt"

serials=(FARM-A FARM-B FARM-C FARM-D)
printers=()
for i in 0 1 2 3; do
    printers+=(--printer "target,addr=$((5 + i)),serial=${serials[$i]}")
done
status=0
"$emulator" "${printers[@]}" --store "$work/store" -- \
    "$zarvik" update --firmware "$work/fw" --all --log "$work/log" --history "$work/history.sqlite" >"$work/out.txt" 2>"$work/err.txt" || status=$?
cat "$work/out.txt"
cat "$work/err.txt" >&2

failed=0
fail() { echo "FAILED: $*"; failed=1; }
[ "$status" -eq 0 ] || fail "zarvik ended with status $status"
grep -qx "summary: 4 of 4 printers updated" "$work/out.txt" || fail "no summary of four updated printers"
[ ! -s "$work/err.txt" ] || fail "messages on standard error"

# Exactly the two files on each printer, complete and taken up, byte for byte.
expected_summary=""
for n in 1 2 3 4; do
    expected_summary+="printer=$n path=0:/sys/fonts.xbf size=9000 announced=9000 complete=1 installed=1 file=printer-$n/0%3A%2Fsys%2Ffonts.xbf"$'\n'
    expected_summary+="printer=$n path=0:/sys/orbrey.bin size=70000 announced=70000 complete=1 installed=1 file=printer-$n/0%3A%2Fsys%2Forbrey.bin"$'\n'
    cmp -s "$work/fw/Main-2.4.bin" "$work/store/printer-$n/0%3A%2Fsys%2Forbrey.bin" || fail "printer $n: orbrey.bin differs"
    cmp -s "$work/fw/fonts.xbf" "$work/store/printer-$n/0%3A%2Fsys%2Ffonts.xbf" || fail "printer $n: fonts.xbf differs"
done
diff <(printf '%s' "$expected_summary") <(sort "$work/store/summary.txt") || fail "the printers hold other files than the firmware"

# One log folder per printer, one log in each, naming its own printer only.
for i in 0 1 2 3; do
    dir="$work/log/1-$((5 + i))"
    logs=("$dir"/libcom-*.log)
    [ ${#logs[@]} -eq 1 ] && [ -f "${logs[0]}" ] || { fail "$dir: not exactly one log"; continue; }
    grep -q "serial ${serials[$i]}\$" "${logs[0]}" || fail "$dir: the log does not name ${serials[$i]}"
    [ "$(grep -c 'printer at bus' "${logs[0]}")" -eq 1 ] || fail "$dir: the log holds another printer's update"
    [ "$(grep -c 'com_write: ~M601 S0' "${logs[0]}")" -eq 1 ] || fail "$dir: not one take-over in the log"
    grep -q "update: sending $work/fw/Main-2.4.bin (70000 bytes) as 0:/sys/orbrey.bin" "${logs[0]}" ||
        fail "$dir: the log does not name the main image's local file"
done
[ $failed -eq 0 ] && echo "four printers updated at once, each with exactly the firmware and a log of its own"
exit $failed
