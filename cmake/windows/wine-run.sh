#!/bin/sh
# Runs the Windows programs of a cross build under wine, in a wine prefix of
# the build folder's own (never the home folder's ~/.wine), without a display
# (a prefix made without ZARVIK_WINE_DISPLAY uses wine's null graphics driver).
#
#   wine-run.sh PREFIX PROGRAM [ARGS...]   runs one program (the prefix must exist)
#   wine-run.sh PREFIX --init              creates PREFIX unless it exists
#   wine-run.sh PREFIX --start             starts wine's background processes for
#                                          PREFIX, detached, to stay until --stop
#                                          (or a minute without programs)
#   wine-run.sh PREFIX --stop              stops them
#
# ZARVIK_WINE_DLL_DIRS, folders separated by colons, are where the program's
# DLLs are found besides its own folder (they become wine's WINEPATH).
#
# Wine's background processes (its server and the services it starts) keep
# the standard output of the process that started them, and whoever waits for
# the end of a program's output (ctest, ninja) would wait for them too.  So
# they are always started here, with all output to /dev/null, before any
# program runs.
set -eu

if [ $# -lt 2 ] || [ -z "$1" ]; then
    echo "usage: $0 PREFIX (--init | --start | --stop | PROGRAM [ARGS...])" >&2
    exit 2
fi
prefix=$1
shift
case $prefix in
    /*) ;;
    *) echo "$0: the wine prefix must be an absolute path: $prefix" >&2; exit 2 ;;
esac

loader=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
for tool in "$loader" "$server"; do
    if [ ! -x "$tool" ]; then
        echo "$0: $tool is missing (apt-get install wine wine64)" >&2
        exit 127
    fi
done

export WINEPREFIX="$prefix"
export WINELOADER="$loader"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
# No display unless the caller asks for one (a virtual display for the window).
[ -n "${ZARVIK_WINE_DISPLAY:-}" ] && export DISPLAY="$ZARVIK_WINE_DISPLAY" || unset DISPLAY
unset WAYLAND_DISPLAY
if [ -n "${ZARVIK_WINE_DLL_DIRS:-}" ]; then
    WINEPATH=$(printf '%s' "$ZARVIK_WINE_DLL_DIRS" | tr ':' '\n' | sed 's|^|Z:|' | paste -sd ';')
    export WINEPATH
fi

# Wine sets aside the address ranges Windows programs expect (the page of
# shared user data at 0x7ffe0000 among them) only once it runs, and Debian's
# wine64 has no preloader to hold them free before that.  With the address
# space randomised, a mapping of the loader's own may already lie there: the
# program then ends at once with status 1 and, under WINEDEBUG=-all, without
# a word (with err+all: "failed to map the shared user data: c0000018"), about
# one run in 3,000.  Without randomisation the loader's layout is the same on
# every run and leaves those ranges free.  Where the personality cannot be set
# (a sandbox that forbids it), wine runs as it is.
arch=$(uname -m)
if setarch "$arch" -R true >/dev/null 2>&1; then
    run_wine() { exec setarch "$arch" -R "$loader" "$@"; }
else
    run_wine() { exec "$loader" "$@"; }
fi

quiet() {
    "$@" </dev/null >/dev/null 2>&1
}
# A program of the prefix run to its end, quietly.
quiet_wine() {
    (run_wine "$@") </dev/null >/dev/null 2>&1
}

# Wine's own fonts (package fonts-wine: Tahoma, which the dialog font "MS
# Shell Dlg 2" stands for) are not found in their data folder here; without
# them a window gets a fallback font with a line height of 46 pixels.  In the
# prefix's Fonts folder Windows programs find them as on Windows.
fonts() {
    [ -d /usr/share/wine/fonts ] && [ -d "$prefix/drive_c/windows/Fonts" ] || return 0
    [ -f "$prefix/drive_c/windows/Fonts/tahoma.ttf" ] && return 0
    cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
}

# Starts the server for the prefix unless one runs already, to stay SECONDS
# after its last program ends, and has it start the services.  The server
# answers 2 when it finds another one running.
background() {
    if quiet "$server" -p"$1"; then
        quiet_wine cmd /c exit  # starts the services, creates a new prefix
    fi
}

case $1 in
    --init)
        if [ ! -f "$prefix/system.reg" ]; then
            mkdir -p "$prefix"
            quiet_wine cmd /c exit
            if [ -z "${ZARVIK_WINE_DISPLAY:-}" ]; then
                # Without a display, wine's null graphics driver: top-level
                # windows can still be made (zarvik.exe's hidden one, which
                # hears of the session's end), they are just never drawn.
                quiet_wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
            fi
            # The registry is complete once the server has saved it and gone.
            quiet "$server" -w
        fi
        fonts
        ;;
    --start)
        mkdir -p "$prefix"
        background 60
        ;;
    --stop)
        quiet "$server" -k || true
        ;;
    *)
        if [ ! -f "$prefix/system.reg" ]; then
            echo "$0: no wine prefix in $prefix (building the project creates it, or: $0 $prefix --init)" >&2
            exit 2
        fi
        fonts
        background 3
        run_wine "$@"
        ;;
esac
