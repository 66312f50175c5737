#!/usr/bin/env bash
# The runnable Windows folder holds what zarvik-update.exe loads and nothing
# more, and the zip users download holds that folder.
#
#   check-tool-folder.sh TOOL_DIR SYSTEM32_DIR OBJDUMP [ZIP]
#
# - every DLL that a program or DLL of the folder imports is in the folder or
#   is one of the system's own (SYSTEM32_DIR, a wine prefix's);
# - every DLL at the top of the folder is imported by something in it (the
#   plugins below platforms/, imageformats/ and styles/ Qt loads by name);
# - one C++ runtime: the tool imports libstdc++-6.dll, as Qt's DLLs do;
# - the window asks for administrator rights, the console program zarvik.exe
#   does not;
# - the ZIP, when given, holds the folder under one top folder, with empty
#   firmware/ and log/ folders and nothing else.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 TOOL_DIR SYSTEM32_DIR OBJDUMP [ZIP]" >&2; exit 2; }
tool=$1
system32=$2
objdump=$3
zip=${4:-}
[ -n "$zip" ] && zip=$(realpath "$zip")
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
lower() { tr '[:upper:]' '[:lower:]'; }

imports() { "$objdump" -p "$1" | awk '/DLL Name:/ { print $3 }' | lower; }
system_dlls=$(ls "$system32" | lower)
folder_dlls=$(cd "$tool" && ls *.dll | lower)

cd "$tool"
needed=""
for binary in *.exe *.dll */*.dll; do
    for dll in $(imports "$binary"); do
        if grep -qx "$dll" <<<"$folder_dlls"; then
            needed+="$dll"$'\n'
        elif ! grep -qx "$dll" <<<"$system_dlls"; then
            fail "$binary imports $dll, which is neither beside it nor the system's"
        fi
    done
done
for dll in $folder_dlls; do
    grep -qx "$dll" <<<"$needed" || fail "$dll is in the folder but nothing imports it"
done
plugins=$(find platforms imageformats styles -type f -printf '%f\n' | lower | sort | paste -sd ' ')
[ "$plugins" = "qjpeg.dll qwindows.dll qwindowsvistastyle.dll" ] || fail "plugins: $plugins"
imports zarvik-update.exe | grep -x libstdc++-6.dll >/dev/null || fail "zarvik-update.exe has a C++ runtime of its own"
# A console program that asked for elevation would open a new console window.
grep -a requireAdministrator zarvik-update.exe >/dev/null || fail "zarvik-update.exe does not ask for administrator rights"
grep -a requireAdministrator zarvik.exe >/dev/null && fail "zarvik.exe asks for administrator rights"
[ -f qt.conf ] && [ -f background.jpg ] && [ -d firmware ] && [ -d log ] || fail "qt.conf, background.jpg, firmware/ or log/ missing"

if [ -n "$zip" ]; then
    top=$(basename "$zip" .zip)
    entries=$(unzip -Z1 "$zip" | sed "s|^$top/||" | grep -v '^$')
    listed=$(grep -v '/$' <<<"$entries" | sort)
    expected=$(find . -path ./log -prune -o -path ./firmware -prune -o -type f -print | sed 's|^\./||' | sort)
    [ "$listed" = "$expected" ] || fail "the zip holds:"$'\n'"$listed"$'\n'"the folder:"$'\n'"$expected"
    grep -qx firmware/ <<<"$entries" && grep -qx log/ <<<"$entries" || fail "the zip has no firmware/ or log/ folder"
    unzip -Z1 "$zip" | grep -v "^$top/" >/dev/null && fail "the zip has entries outside $top/"
fi

[ $failures -eq 0 ] || exit 1
echo "the folder holds $(ls *.dll | wc -l) DLLs beside the tool and $(echo "$plugins" | wc -w) plugins, all it loads and nothing more"
