#!/usr/bin/env bash
# Writes the seed corpus of reply_fuzz (tests/fuzz/corpus/) from the printer's
# real exchanges, in the input format described in reply_fuzz.cpp.
set -euo pipefail
export LC_ALL=C
out="$(cd "$(dirname "$0")/.." && pwd)/tests/fuzz/corpus"
mkdir -p "$out"

byte() { printf "\\x$(printf %02x "$1")"; }
# One reply transfer holding the given bytes (at most 223).
transfer() { byte "${#1}"; printf '%s' "$1"; }
# One reply transfer per line.
lines() { for l in "$@"; do transfer "$l"$'\r\n'; done; }
# All lines of one answer in one transfer.
joined() { local all=""; for l in "$@"; do all+="$l"$'\r\n'; done; transfer "$all"; }
next() { byte 0xE0; }

take_control() { lines "CMD M601 Received." "Control Success." "ok"; }
give_back() { lines "CMD M602 Received." "Control Release." "ok"; }
upload() { lines "CMD M28 Received." "Writing to file: $1" "ok"; next; lines "CMD M29 Received." "Done saving file." "ok"; }
take_up() { lines "CMD M600 Received." "succeed" "ok"; }

{ byte 1; next; take_control; next; give_back; } >"$out/open-handshake"
{ byte 1; lines "Control Release." "ok"; next; take_control; next; give_back; } >"$out/open-after-stale-replies"
{ byte 1; next; lines "CMD M601 Received." "Control Failed." "ok"; next; give_back; } >"$out/open-refused"
{ byte 2; next; upload 0:/sys/image.bin; next; give_back; } >"$out/upload"
{ byte 2; next; lines "CMD M28 Received." "out of space" "ok"; next; give_back; } >"$out/upload-out-of-space"
{ byte 3; next; upload 0:/sys/orbrey.bin; next; take_up; next; give_back; } >"$out/install"
{
    byte 0x84
    next; joined "CMD M601 Received." "Control Success." "ok"
    next; joined "CMD M28 Received." "Writing to file: 0:/sys/orbrey.bin" "ok"
    next; joined "CMD M29 Received." "Done saving file." "ok"
    next; joined "CMD M600 Received." "succeed" "ok"
    next; joined "CMD M28 Received." "Writing to file: 0:/sys/fonts.xbf" "ok"
    next; joined "CMD M29 Received." "Done saving file." "ok"
    next; joined "CMD M600 Received." "succeed" "ok"
    next; joined "CMD M602 Received." "Control Release." "ok"
} >"$out/whole-update-logged"
# An install whose second data piece times out (transfer 5 of the sequence).
{ byte 3; byte 0xE2; byte 5; byte 0; next; upload 0:/sys/orbrey.bin; next; take_up; next; give_back; } >"$out/install-data-timeout"
{
    byte 0x80
    transfer $'CMD M601 Received.\r\n'; byte 0xE3; byte 136
    transfer "CMD M6"; transfer $'01 Received.\r\nControl'; byte 0xE3; byte 136; byte 0xE3; byte 136
    transfer $' Success.\r\nok\r\n'; byte 0xE3; byte 10; byte 0xE4
    transfer $'ok\r\n'; byte 0xE5; byte 64
    byte 0xE1; byte 130; printf q; byte 0xE3; byte 255; byte 0xE4; byte 0xE3; byte 136
} >"$out/line-reader"
ls -l "$out"
