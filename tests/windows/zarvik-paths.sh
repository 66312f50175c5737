#!/usr/bin/env bash
# zarvik on the emulated bus (zarvik-emulated.exe) under wine, with a firmware
# folder and file names beyond ASCII, in the code page of one locale: wine
# takes the ANSI code page from the locale it runs in (de_DE: 1252, Western;
# zh_CN: 936, Chinese), so a program that went through it would lose the
# names the code page cannot hold.
#
#   zarvik-paths.sh WINE_RUN PREFIX ZARVIK_EMULATED_EXE WORK_DIR LOCALE
#
# LOCALE is e.g. de_DE.UTF-8; it is compiled into WORK_DIR/../locales once
# (localedef, package locales), so that the machine's own locales stay as
# they are.  Cases:
#   update   "Jörg Müller\固件" holding main.bin, Schrift-Ä.xbf and 字体.xbf:
#            update --json installs all three under the right names, the
#            printer holds them byte for byte, the log is made in the folder
#            named by --log
#   plan     the plan's lines name the files right, to a pipe (UTF-8)
#   console  and on a console (a terminal through wine's console)
#   long     the same update in a folder whose path is over 300 characters
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 WINE_RUN PREFIX ZARVIK_EMULATED_EXE WORK_DIR LOCALE" >&2; exit 2; }
run=$1 prefix=$2 zarvik=$3 work=$4 locale=$5

locales=$(dirname "$work")/locales
if [ ! -d "$locales/$locale" ]; then
    mkdir -p "$locales"
    localedef -i "${locale%%.*}" -f "${locale#*.}" "$locales/$locale"
fi
# Only wine runs in the locale (this shell knows nothing of LOCPATH).
in_locale() { env LOCPATH="$locales" LC_ALL="$locale" "$@"; }

rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
    echo "FAIL [$locale $case]: $*" >&2
    failures=$((failures + 1))
}
windows() { printf 'Z:%s' "$1" | tr / '\\'; }

# A firmware folder in $1: the three files.
firmware() {
    mkdir -p "$1"
    head -c 20000 /dev/urandom >"$1/main.bin"
    head -c 5000 /dev/urandom >"$1/Schrift-Ä.xbf"
    head -c 3000 /dev/urandom >"$1/字体.xbf"
}

# zarvik ARGS...: runs zarvik-emulated.exe; status in $status, output in $out and $err.
zarvik() {
    set +e
    in_locale "$run" "$prefix" "$zarvik" "$@" >"$work/out" 2>"$work/err"
    status=$?
    set -e
    out=$(tr -d '\r' <"$work/out")
    err=$(tr -d '\r' <"$work/err")
    printf '%s\n' "--- zarvik-emulated.exe $* (status $status)" "$out" "$err"
}

has() { printf '%s\n' "$1" | grep -F -- "$2" >/dev/null; }

# update FOLDER: a whole update of the firmware in FOLDER/固件 with the log in FOLDER/log.
update() {
    local folder=$1 store=$work/store-$case
    firmware "$folder/固件"
    ZARVIK_EMU_STORE=$(windows "$store") zarvik update --firmware "$(windows "$folder/固件")" \
        --log "$(windows "$folder/log")" --json
    [ "$status" = 0 ] || fail "status $status"
    has "$out" '"installed":["orbrey.bin","Schrift-Ä.xbf","字体.xbf"]' || fail "not all three installed by name"
    has "$out" "\"local\":\"$(windows "$folder/固件" | sed 's/\\/\\\\/g')\\\\Schrift-Ä.xbf\"" ||
        fail "the plan does not name the local file right"
    local sent=$store/printer-1/0%3A%2Fsys%2F
    cmp -s "$folder/固件/main.bin" "${sent}orbrey.bin" || fail "orbrey.bin differs"
    cmp -s "$folder/固件/Schrift-Ä.xbf" "${sent}Schrift-%C3%84.xbf" || fail "Schrift-Ä.xbf differs"
    cmp -s "$folder/固件/字体.xbf" "${sent}%E5%AD%97%E4%BD%93.xbf" || fail "字体.xbf differs"
    [ "$(find "$folder/log" -name 'libcom-*.log' 2>/dev/null | wc -l)" = 1 ] || fail "no log in $folder/log"
}

case=update
update "$work/Jörg Müller"

case=plan
folder=$(windows "$work/Jörg Müller/固件")
zarvik plan --firmware "$folder"
[ "$status" = 0 ] || fail "status $status"
sum() { sha256sum "$work/Jörg Müller/固件/$1" | cut -c1-64; }
[ "$out" = "1. main.bin as 0:/sys/orbrey.bin, 20000 bytes
   sha256 $(sum main.bin)
2. Schrift-Ä.xbf as 0:/sys/Schrift-Ä.xbf, 5000 bytes
   sha256 $(sum Schrift-Ä.xbf)
3. 字体.xbf as 0:/sys/字体.xbf, 3000 bytes
   sha256 $(sum 字体.xbf)
3 files, 28000 bytes; nothing was sent" ] || fail "the plan says: $out"

case=console
# script gives wine a terminal, which it makes the program's console.
in_locale script -qec "$(printf '%q ' "$run" "$prefix" "$zarvik" plan --firmware "$folder")" /dev/null </dev/null |
    tr -d '\r' >"$work/console"
console=$(cat "$work/console")
printf '%s\n' "--- on a console: zarvik-emulated.exe plan --firmware $folder" "$console"
has "$console" "2. Schrift-Ä.xbf as 0:/sys/Schrift-Ä.xbf, 5000 bytes" || fail "Schrift-Ä.xbf not shown whole"
has "$console" "3. 字体.xbf as 0:/sys/字体.xbf, 3000 bytes" || fail "字体.xbf not shown whole"

case=long
long=$work/long
while [ ${#long} -le 300 ]; do long="$long/Verzeichnis-mit-einem-langen-Namen"; done
update "$long"

if [ $failures -gt 0 ]; then
    echo "$failures failures" >&2
    exit 1
fi
echo "all cases passed in $locale"
