#!/usr/bin/env bash
# Builds the tool and runs a whole firmware update.
#
#   scripts/run.sh            against an emulated printer, with sample firmware in place
#   scripts/run.sh --printer  the tool as it is, against the printer attached to this machine
#
# The emulated run uses a folder of its own, build/demo/: the tool, its
# background, firmware/ with a main image and two additional files, and log/.
# With a display the window opens there and you press the button yourself.
# Without one it runs under Xvfb, presses the button itself, and ends by
# printing where its screenshots and the log are.  Either way it then checks
# that the emulated printer holds exactly the bytes of the firmware files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

mode=demo
case "${1:-}" in
    "") ;;
    --printer) mode=printer ;;
    *) echo "usage: $0 [--printer]" >&2; exit 2 ;;
esac

scripts/setup-debian.sh xdotool imagemagick
cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target zarvik-update zarvik-printer-emulator

if [ "$mode" = printer ]; then
    if [ -z "${DISPLAY:-}" ]; then
        echo "no display: the tool needs one to show its window" >&2
        exit 1
    fi
    echo "firmware folder: $root/build/tool/firmware (the first *.bin, then every *.xbf)"
    exec "$root/build/tool/zarvik-update"
fi

demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/firmware" "$demo/log" "$demo/screenshots"
cp "$root/build/tool/zarvik-update" "$root/build/tool/background.jpg" "$demo/"
# Sample firmware: a 1 MiB main image and two additional files.
head -c 1048576 /dev/urandom >"$demo/firmware/orbrey-demo-1.1.0.bin"
head -c 307200 /dev/urandom >"$demo/firmware/fonts.xbf"
head -c 204800 /dev/urandom >"$demo/firmware/ui-theme.xbf"

emulator=(
    "$root/build/bin/zarvik-printer-emulator"
    --printer target --store "$demo/printer" --
)

if [ -n "${DISPLAY:-}" ]; then
    echo "== the tool on an emulated printer: press Start Firmware Update, then close the window"
    "${emulator[@]}" "$demo/zarvik-update" >"$demo/tool-output.txt" 2>&1 || true
else
    echo "== no display: the tool runs under Xvfb and the button is pressed for you"
    cat >"$demo/drive.sh" <<'DRIVE'
#!/usr/bin/env bash
# Runs inside Xvfb: starts the tool on the emulated printer and drives it.
set -u
demo=$1; shift
"$@" "$demo/zarvik-update" >"$demo/tool-output.txt" 2>&1 &
tool=$!
shot() { import -window root "$demo/screenshots/$1.png"; }
window=$(timeout 30 xdotool search --sync --onlyvisible --name "^Zarvik Firmware Update Tool$" | head -n 1)
if [ -z "$window" ]; then echo "the window did not appear" >&2; kill $tool; exit 1; fi
sleep 1
shot 1-start
# The start button is the middle one of the row, 466 px down the window.
xdotool mousemove --window "$window" 247 466 click 1
box=$(timeout 60 xdotool search --sync --onlyvisible --name "^(information|error)$" | head -n 1)
sleep 0.5
shot 2-outcome
title=$(xdotool getwindowname "$box")
xdotool key --window "$box" Return 2>/dev/null  # the box closes before the key is released
sleep 1
shot 3-after
xdotool key --window "$window" Escape 2>/dev/null
wait $tool
status=$?
echo "$title" >"$demo/outcome.txt"
exit $status
DRIVE
    chmod +x "$demo/drive.sh"
    timeout 180 xvfb-run -a -s "-screen 0 640x700x24" "$demo/drive.sh" "$demo" "${emulator[@]}"
fi

echo "== what the emulated printer holds"
ok=1
check() {
    if cmp -s "$1" "$2"; then echo "  $3: the same $(stat -c %s "$1") bytes as $(basename "$1")"
    else echo "  $3: DIFFERENT from $(basename "$1")"; ok=0; fi
}
# The emulator stores "0:/sys/NAME" as printer-1/0%3A%2Fsys%2FNAME.
store="$demo/printer/printer-1/0%3A%2Fsys%2F"
if [ -f "$demo/printer/summary.txt" ]; then
    check "$demo/firmware/orbrey-demo-1.1.0.bin" "${store}orbrey.bin" "0:/sys/orbrey.bin"
    check "$demo/firmware/fonts.xbf" "${store}fonts.xbf" "0:/sys/fonts.xbf"
    check "$demo/firmware/ui-theme.xbf" "${store}ui-theme.xbf" "0:/sys/ui-theme.xbf"
    echo "  complete and taken up: $(grep -c 'complete=1 installed=1' "$demo/printer/summary.txt") of 3"
else
    echo "  nothing (was the update started?)"; ok=0
fi
[ -f "$demo/outcome.txt" ] && echo "message box: $(cat "$demo/outcome.txt")"
echo "log:          $(ls "$demo"/log/libcom-*.log 2>/dev/null | tail -n 1)"
[ -z "${DISPLAY:-}" ] && echo "screenshots:  $demo/screenshots/{1-start,2-outcome,3-after}.png"
[ $ok -eq 1 ]
