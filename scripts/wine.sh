#!/usr/bin/env bash
# The Wine side of the Windows tests: one prefix per build, one persistent
# server per test run.
#   scripts/wine.sh env PREFIX     prints the environment for every wine command
#   scripts/wine.sh start PREFIX   makes the prefix if needed, starts the server
#   scripts/wine.sh stop PREFIX    stops the server and every program under it
# A crashing program must exit non-zero, so the automatic crash debugger is
# switched off in the prefix. The server and its services are started with
# their streams on /dev/null: a runner that waits for the test's pipes to
# close would wait for them otherwise.
set -euo pipefail
what=${1:?usage: wine.sh env|start|stop PREFIX}
prefix=$(realpath -m "${2:?usage: wine.sh env|start|stop PREFIX}")
scratch="$prefix.tmp"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64 TMPDIR="$scratch" HOME="$scratch"
unset DISPLAY

case "$what" in
env)
    echo "WINEPREFIX=$WINEPREFIX WINEDEBUG=$WINEDEBUG WINEARCH=$WINEARCH TMPDIR=$TMPDIR HOME=$HOME"
    ;;
start)
    mkdir -p "$scratch"
    if [ ! -f "$prefix/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w
        wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d '' /f \
            </dev/null >/dev/null 2>&1
        wineserver -k || true
        wineserver -w
    fi
    # Exit status 2: a server for the prefix runs already, which serves too.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1
    ;;
stop)
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    ;;
*)
    echo "usage: wine.sh env|start|stop PREFIX" >&2
    exit 2
    ;;
esac
