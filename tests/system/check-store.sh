#!/usr/bin/env bash
# Runs the store test under the printer emulator with --store, then compares
# the store the emulator wrote with what the test sent.
#   check-store.sh EMULATOR TEST_PROGRAM
set -euo pipefail
emulator=$1
program=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/zarvik-store-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/expect"

ZARVIK_STORE_EXPECT="$work/expect" "$emulator" --printer target --control auto --store "$work/store" -- \
    "$program" --gtest_filter=Install.StoreHoldsWhatWasSent

failed=0
if ! diff <(sort "$work/expect/summary.txt") <(sort "$work/store/summary.txt"); then
    echo "store summary differs from what was sent (< sent, > stored)"
    failed=1
fi
for sent in "$work/expect"/*; do
    name=$(basename "$sent")
    [ "$name" = summary.txt ] && continue
    if ! cmp "$sent" "$work/store/printer-1/$name"; then
        echo "stored bytes of $name differ from what was sent"
        failed=1
    fi
done
[ $failed -eq 0 ] && echo "store matches what was sent"
exit $failed
