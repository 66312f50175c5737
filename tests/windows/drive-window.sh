#!/usr/bin/env bash
# The Windows build of the tool, run under wine on a virtual display and
# driven as a person would: it looks at what the windows show, clicks the
# start button and closes the message boxes, and reads each box's title and
# text the way a user can, by copying the box (Ctrl+C) to the clipboard.
#
#   drive-window.sh SOURCE_DIR BUILD_DIR SHOTS_DIR     (run inside xvfb-run)
#
# BUILD_DIR is the Windows build folder: its tool/ folder is what users get.
# Every scenario runs in a copy of it, in a wine prefix of its own made here
# with the display (BUILD_DIR/tests/windows/display-prefix).  That prefix has
# no drive for the Linux file system (wine's Z:): the copies are all it sees,
# on drive D:, so the tool must find Qt's plugins in its own folder, not in
# the Qt build it was linked against.  Wine passes no USB
# device to Windows programs, so the real tool never sees a printer, and a
# whole update runs through zarvik-update-emulated.exe, the same window on the
# emulated bus.  Screenshots go to SHOTS_DIR.
#
# Scenarios:
#   no-service     "SpoolHub" is not installed: the window appears, no printer
#                  is detected, the start button gives "connect to printer failure"
#   stopped        "SpoolHub" installed and stopped: the window appears
#   running        "SpoolHub" running: the tool stops it, the window appears
#   refusing       "SpoolHub" refuses to stop: one warning box, exit code 0, no window
#   update         a whole update on the emulated printer, the files byte-exact
#   unplugged      the printer is unplugged during the upload: one error box;
#                  plugged in again, the next update succeeds
#   names          the tool folder copied to "D:\用户\Jörg Müller\zarvik-update": its
#                  background, firmware folder and log folder are found, and a
#                  whole update on the emulated printer succeeds
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: $0 SOURCE_DIR BUILD_DIR SHOTS_DIR" >&2; exit 2; }
source_dir=$1
build=$2
shots=$3
[ -n "${DISPLAY:-}" ] || { echo "$0: needs a display (run it inside xvfb-run)" >&2; exit 2; }

run="$source_dir/cmake/windows/wine-run.sh"
prefix="$build/tests/windows/display-prefix"
work="$build/tests/windows/display-runs"
service="$build/tests/windows/zarvik_test_service.exe"
emulated="$build/tests/windows/zarvik-update-emulated.exe"
title="Zarvik Firmware Update Tool"
export ZARVIK_WINE_DISPLAY=$DISPLAY

rm -rf "$work" "$shots"
mkdir -p "$work" "$shots"
"$run" "$prefix" --init
rm -f "$prefix/dosdevices/z:" "$prefix/dosdevices/d:"
ln -s "$work" "$prefix/dosdevices/d:"
cp "$service" "$work/"
"$run" "$prefix" --start

failures=0
fail() {
    echo "FAIL [$scenario]: $*" >&2
    failures=$((failures + 1))
}
note() { echo "[$scenario] $*"; }

# --- what a person does ---------------------------------------------------------

# Starts a copy of the tool folder: start_tool FOLDER PROGRAM [VAR=VALUE...]
start_tool() {
    local folder=$1 program=$2
    shift 2
    rm -f "$folder/status"
    local place
    place=$(printf '%s' "${folder#"$work"/}" | tr / '\\')
    (cd "$folder" && env "$@" "$run" "$prefix" "D:\\$place\\$program" \
        >"$folder/output.txt" 2>&1
        echo $? >"$folder/status") &
}

# The id of the visible window titled exactly $1, waiting up to $2 seconds.
find_window() {
    local name=$1 seconds=${2:-30} id
    local tries=$((seconds * 4))
    while [ $tries -gt 0 ]; do
        id=$(xdotool search --onlyvisible --name "^${name}\$" 2>/dev/null | head -n 1 || true)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.25
        tries=$((tries - 1))
    done
    return 1
}

# What a message box says, as the user gets it by copying the box: its title,
# its text and its buttons, one a line, without the dashed rules.
box_text() {
    printf '' | xclip -selection clipboard
    xdotool windowactivate --sync "$1" 2>/dev/null || xdotool windowfocus --sync "$1"
    xdotool key --window "$1" ctrl+c
    sleep 0.5
    xclip -o -selection clipboard 2>/dev/null | tr -d '\r' | grep -v '^-*$' | sed 's/ *$//'
}

# Presses Enter on box $1 (its only button is OK) and waits until it is gone.
press_ok() {
    local tries=20
    xdotool key --window "$1" Return 2>/dev/null || true
    while xdotool getwindowname "$1" >/dev/null 2>&1 && [ $tries -gt 0 ]; do
        sleep 0.25
        tries=$((tries - 1))
    done
    [ $tries -gt 0 ] || fail "the box did not close on Enter"
    sleep 0.5
}

shot() { import -window root "$shots/$1.png"; }

# The colour at a point of the main window, as "r,g,b", the mouse kept off the
# buttons so that none shows its hover colour.
colour() {
    xdotool mousemove --window "$1" 5 5
    sleep 0.2
    local hex
    hex=$(import -window "$1" -crop "1x1+$2+$3" -depth 8 txt:- | grep -o '#[0-9A-Fa-f]\{6\}' | head -n 1)
    [ -n "$hex" ] && printf '%d,%d,%d\n' "0x${hex:1:2}" "0x${hex:3:2}" "0x${hex:5:2}"
}
# The three step buttons: a point near each one's top left corner.
detected_at=(60 432)
start_at=(196 432)
complete_at=(332 432)
white="255,255,255"
teal="46,178,162"

# Waits up to $3 seconds until the point $2 (an array name) of window $1 has colour $4.
wait_colour() {
    local window=$1 seconds=$3 want=$4
    local -n point=$2
    local tries=$((seconds * 2)) got=""
    while [ $tries -gt 0 ]; do
        got=$(colour "$window" "${point[0]}" "${point[1]}")
        [ "$got" = "$want" ] && return 0
        sleep 0.5
        tries=$((tries - 1))
    done
    echo "$got"
    return 1
}

click_start() {
    xdotool mousemove --window "$1" 247 462 click 1
}

# Closes the main window with Esc and waits for the program's exit status.
close_tool() {
    local window=$1 folder=$2 tries=60
    xdotool key --window "$window" Escape 2>/dev/null || true
    while [ ! -f "$folder/status" ] && [ $tries -gt 0 ]; do
        sleep 0.5
        tries=$((tries - 1))
    done
    cat "$folder/status" 2>/dev/null || echo "still running"
}

# A second box of the same title must not follow the first.
no_second_box() {
    sleep 2
    if find_window "$1" 0 >/dev/null; then
        fail "a second '$1' box"
    fi
}

tool_copy() {
    local folder="$work/$1"
    mkdir -p "$(dirname "$folder")"
    cp -r "$build/tool" "$folder"
    echo "$folder"
}

services() { (cd "$work" && "$run" "$prefix" 'D:\zarvik_test_service.exe' "$@" >/dev/null 2>&1); }

# --- scenarios --------------------------------------------------------------------

scenario=no-service
services delete SpoolHub || true
folder=$(tool_copy no-service)
head -c 20000 /dev/urandom >"$folder/firmware/main.bin"
start_tool "$folder" zarvik-update.exe
if window=$(find_window "$title" 60); then
    sleep 1.5  # past the first detection ticks
    got=$(colour "$window" "${detected_at[@]}")
    [ "$got" = "$white" ] || fail "first button is $got with no printer, not unlit"
    shot windows-no-printer
    click_start "$window"
    if box=$(find_window error 20); then
        shot windows-no-printer-error
        text=$(box_text "$box")
        [ "$text" = $'error\nconnect to printer failure\nOK' ] || fail "the box says: $text"
        press_ok "$box"
        no_second_box error
    else
        fail "no error box after the start button"
    fi
    ls "$folder"/log/libcom-*.log >/dev/null 2>&1 || fail "no log file beside the tool"
    status=$(close_tool "$window" "$folder")
    [ "$status" = 0 ] || fail "exit status $status"
    note "window shown, no printer, 'connect to printer failure', exit $status"
else
    fail "no window (output: $(cat "$folder/output.txt"))"
fi

for state in stopped running; do
    scenario=$state
    services delete SpoolHub || true
    services install SpoolHub stop=pending steps=3 hint=100 || fail "cannot install the test service"
    [ "$state" = running ] && { services start SpoolHub || fail "cannot start the test service"; }
    folder=$(tool_copy "$state")
    start_tool "$folder" zarvik-update.exe
    if window=$(find_window "$title" 60); then
        shot "windows-service-$state"
        status=$(close_tool "$window" "$folder")
        [ "$status" = 0 ] || fail "exit status $status"
        note "window shown, exit $status"
    else
        fail "no window"
    fi
    services delete SpoolHub || true
done

scenario=refusing
services install SpoolHub stop=refuse || fail "cannot install the test service"
services start SpoolHub || fail "cannot start the test service"
folder=$(tool_copy refusing)
start_tool "$folder" zarvik-update.exe
if box=$(find_window "failed to stop service" 60); then
    shot windows-service-refuses
    find_window "$title" 0 >/dev/null && fail "the window is shown beside the warning"
    text=$(box_text "$box")
    [ "$text" = $'failed to stop service\nFailed to stop background service [SpoolHub].\nOK' ] ||
        fail "the box says: $text"
    press_ok "$box"
    tries=40
    while [ ! -f "$folder/status" ] && [ $tries -gt 0 ]; do sleep 0.5; tries=$((tries - 1)); done
    status=$(cat "$folder/status" 2>/dev/null || echo "still running")
    [ "$status" = 0 ] || fail "exit status $status after the warning"
    find_window "$title" 0 >/dev/null && fail "the window appeared after the warning"
    note "warning box, exit $status, no window"
else
    fail "no warning box"
fi
services release SpoolHub || true
services delete SpoolHub || true

# A firmware set: a main image and two additional files.
firmware() {
    head -c 300000 /dev/urandom >"$1/firmware/orbrey-2.0.bin"
    head -c 70000 /dev/urandom >"$1/firmware/fonts.xbf"
    head -c 9000 /dev/urandom >"$1/firmware/ui-theme.xbf"
}
# Compares what printer $2 of the store in folder $1 holds with the firmware.
holds_firmware() {
    # The store names "0:/sys/NAME" printer-N/0%3A%2Fsys%2FNAME.
    local store="$1/store/printer-$2/0%3A%2Fsys%2F" ok=0
    cmp -s "$1/firmware/orbrey-2.0.bin" "${store}orbrey.bin" || { fail "printer $2: orbrey.bin differs"; ok=1; }
    cmp -s "$1/firmware/fonts.xbf" "${store}fonts.xbf" || { fail "printer $2: fonts.xbf differs"; ok=1; }
    cmp -s "$1/firmware/ui-theme.xbf" "${store}ui-theme.xbf" || { fail "printer $2: ui-theme.xbf differs"; ok=1; }
    local taken
    taken=$(grep -c "^printer=$2 .* complete=1 installed=1 " "$1/store/summary.txt" || true)
    [ "$taken" = 3 ] || { fail "printer $2: $taken of 3 files complete and taken up"; ok=1; }
    return $ok
}
done_text=$'information\nFirmware has been uploaded, reboot your printer to complete the update.\nOK'

# Waits for the update's end in window $1: the box, its text checked against $2.
update_ends_with() {
    local name=$1 want=$2 shot_name=$3 box text
    if ! box=$(find_window "$name" 120); then
        fail "no '$name' box at the end of the update"
        return 1
    fi
    [ -n "$shot_name" ] && shot "$shot_name"
    text=$(box_text "$box")
    [ "$text" = "$want" ] || fail "the box says: $text"
    press_ok "$box"
}

scenario=update
folder=$(tool_copy update)
cp "$emulated" "$folder/"
firmware "$folder"
mkdir -p "$folder/store"
start_tool "$folder" zarvik-update-emulated.exe 'ZARVIK_EMU_STORE=D:\update\store'
if window=$(find_window "$title" 60); then
    got=$(wait_colour "$window" detected_at 5 "$teal") || fail "printer not detected: first button $got"
    shot windows-printer-detected
    click_start "$window"
    update_ends_with information "$done_text" windows-update-complete
    sleep 0.5
    shot windows-after-update
    for button in start_at complete_at; do
        got=$(wait_colour "$window" "$button" 2 "$teal") || fail "$button is $got after the update, not teal"
    done
    background=$(colour "$window" 40 40)
    status=$(close_tool "$window" "$folder")
    [ "$status" = 0 ] || fail "exit status $status"
    holds_firmware "$folder" 1 && note "information box, the printer holds the three files byte for byte"
else
    fail "no window"
fi

scenario=unplugged
folder=$(tool_copy unplugged)
cp "$emulated" "$folder/"
firmware "$folder"
mkdir -p "$folder/store"
# Transfers 0-8 are the look for stale replies, the take-control exchange and
# the announcement of the main image; the tenth piece of its data is cut off.
start_tool "$folder" zarvik-update-emulated.exe 'ZARVIK_EMU_STORE=D:\unplugged\store' \
    ZARVIK_EMU_VANISH_AT=18 'ZARVIK_EMU_REPLUG=D:\unplugged\replug'
if window=$(find_window "$title" 60); then
    wait_colour "$window" detected_at 5 "$teal" >/dev/null || fail "printer not detected"
    click_start "$window"
    update_ends_with error $'error\ndevice disconnected\nOK' windows-unplugged-error
    no_second_box error
    touch "$folder/replug"  # the user plugs the printer in again
    got=$(wait_colour "$window" detected_at 10 "$teal") || fail "the printer plugged in again is not detected: $got"
    click_start "$window"
    update_ends_with information "$done_text" ""
    status=$(close_tool "$window" "$folder")
    [ "$status" = 0 ] || fail "exit status $status"
    grep -q '^printer=1 path=0:/sys/orbrey.bin .* complete=1' "$folder/store/summary.txt" &&
        fail "the unplugged printer holds a whole main image"
    holds_firmware "$folder" 2 && note "one error box; plugged in again, the next update put the files byte for byte"
else
    fail "no window"
fi

scenario=names
folder=$(tool_copy "用户/Jörg Müller/zarvik-update")
cp "$emulated" "$folder/"
firmware "$folder"
mkdir -p "$folder/store"
rm -f "$folder"/log/*
start_tool "$folder" zarvik-update-emulated.exe 'ZARVIK_EMU_STORE=D:\names-store'
if window=$(find_window "$title" 60); then
    got=$(colour "$window" 40 40)
    [ "$got" = "${background:-}" ] || fail "the background is $got, not ${background:-unknown} as in a plain folder"
    got=$(wait_colour "$window" detected_at 5 "$teal") || fail "printer not detected: first button $got"
    click_start "$window"
    update_ends_with information "$done_text" windows-names-update-complete
    status=$(close_tool "$window" "$folder")
    [ "$status" = 0 ] || fail "exit status $status"
    ls "$folder"/log/libcom-*.log >/dev/null 2>&1 || fail "no log file in the tool's log folder"
    rm -rf "$folder/store" && mv "$work/names-store" "$folder/store"
    holds_firmware "$folder" 1 && note "background, firmware and log found; the printer holds the three files byte for byte"
else
    fail "no window"
fi

"$run" "$prefix" --stop
if [ $failures -gt 0 ]; then
    echo "$failures failures; screenshots in $shots" >&2
    exit 1
fi
echo "all scenarios passed; screenshots in $shots"
