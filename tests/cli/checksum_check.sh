#!/usr/bin/env bash
# zarvik against a firmware folder with a checksum list, through the real
# libusb-1.0 and the umockdev printer emulator: a list that disagrees with a
# file is refused before the printer is taken (nothing stored, no link, no
# log); the list made with sha256sum is accepted, the printer holds exactly
# the two files, and the log names each with the digest sha256sum gives.
#   checksum_check.sh EMULATOR ZARVIK
set -euo pipefail
emulator=$1
zarvik=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-sums.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/fw"
head -c 70000 /dev/urandom >"$work/fw/Main 2.4.bin"
head -c 9000 /dev/urandom >"$work/fw/fonts.xbf"
echo notes >"$work/fw/readme.txt"
(cd "$work/fw" && sha256sum -b "Main 2.4.bin" fonts.xbf >"$work/good-sums")

failed=0
fail() { echo "FAILED: $*"; failed=1; }
run() {  # run NAME: zarvik update under the emulator, its store in $work/NAME
    local status=0
    "$emulator" --printer target,serial=SUMS --store "$work/$1" -- \
        "$zarvik" update --firmware "$work/fw" --log "$work/$1-log" --history "$work/history.sqlite" >"$work/$1.out" 2>"$work/$1.err" || status=$?
    cat "$work/$1.out" "$work/$1.err"
    return $status
}

# One digit of the fonts' digest changed: refused before anything is sent.
awk 'NR == 2 { d = "0123456789abcdef"; $0 = substr(d, index(d, substr($0, 1, 1)) % 16 + 1, 1) substr($0, 2) }
     { print }' "$work/good-sums" >"$work/fw/SHA256SUMS"
cmp -s "$work/good-sums" "$work/fw/SHA256SUMS" && fail "the list was not changed"
status=0
run refused || status=$?
[ "$status" -eq 1 ] || fail "a mismatch ended with status $status, not 1"
grep -q "^open or access file failure (COM_ERR_FILE)\$" "$work/refused.err" || fail "no file failure named"
grep -q "^zarvik: $work/fw/fonts.xbf: checksum mismatch: SHA256SUMS line 2 gives [0-9a-f]\{64\}, the file is $(sed -n '2s/ .*//p' "$work/good-sums"); nothing was sent\$" \
    "$work/refused.err" || fail "the mismatch is not named with both digests"
[ ! -s "$work/refused/summary.txt" ] || fail "the printer stored files: $(cat "$work/refused/summary.txt")"
[ -z "$(ls -A "$work/refused-log" 2>/dev/null)" ] || fail "a log was written: the printer was taken"

# The list as sha256sum writes it: the update goes through, the list stays home.
cp "$work/good-sums" "$work/fw/SHA256SUMS"
run accepted || fail "the update with a matching list failed"
grep -q "^plan: every file is listed in $work/fw/SHA256SUMS with its SHA-256\$" "$work/accepted.out" ||
    fail "the plan does not say the list was checked"
grep -q "^plan: not installed: SHA256SUMS (the checksum list, checked and never sent)\$" "$work/accepted.out" ||
    fail "the plan does not name the list as not sent"
expected_summary="printer=1 path=0:/sys/fonts.xbf size=9000 announced=9000 complete=1 installed=1 file=printer-1/0%3A%2Fsys%2Ffonts.xbf
printer=1 path=0:/sys/orbrey.bin size=70000 announced=70000 complete=1 installed=1 file=printer-1/0%3A%2Fsys%2Forbrey.bin"
diff <(printf '%s\n' "$expected_summary") <(sort "$work/accepted/summary.txt") || fail "the printer holds other files"
cmp -s "$work/fw/Main 2.4.bin" "$work/accepted/printer-1/0%3A%2Fsys%2Forbrey.bin" || fail "orbrey.bin differs"
log=("$work/accepted-log"/libcom-*.log)
while read -r sum name; do
    name=${name#\*}
    printer_name=$name
    [ "$name" = "Main 2.4.bin" ] && printer_name=orbrey.bin
    grep -qF "update: sending $work/fw/$name (" "${log[0]}" || fail "the log does not name $name"
    grep -q "as 0:/sys/$printer_name, sha256 $sum\$" "${log[0]}" || fail "the log does not give $name's SHA-256"
done <"$work/good-sums"
[ $failed -eq 0 ] && echo "a mismatch was refused with nothing sent; the listed files went through, logged with their SHA-256"
exit $failed
