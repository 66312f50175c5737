#!/usr/bin/env bash
# Run as the child of zarvik-printer-emulator: two programs start libusb at
# the same moment, ten times over (two `zarvik list` at once), and both must
# list the printers.  Under umockdev alone the two fight over one name for
# their uevent sockets and one of them cannot start libusb (about two pairs
# in three fail); the emulator's open guard gives each its own.
#   two_at_once.sh ZARVIK
set -u
zarvik=$1
failed=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for _ in 1 2 3 4 5 6 7 8 9 10; do
    "$zarvik" list >/dev/null 2>"$scratch/a.err" &
    a=$!
    "$zarvik" list >/dev/null 2>"$scratch/b.err" &
    b=$!
    wait "$a" || { failed=$((failed + 1)); grep -v '^Using' "$scratch/a.err"; }
    wait "$b" || { failed=$((failed + 1)); grep -v '^Using' "$scratch/b.err"; }
done
echo "$failed of 20 runs could not list the printers"
[ "$failed" -eq 0 ]
