#!/bin/sh
# The private Wine prefix of a test run, for fwld.exe under Wine.
#   wine-prefix.sh start PREFIX   make it once (wineboot -i), then keep one
#                                 wine server and Wine's own services running
#                                 for the whole run
#   wine-prefix.sh stop PREFIX    end them
set -eu
action=$1
case $2 in
/*) prefix=$2 ;;
*) prefix=$PWD/$2 ;;  # Wine wants it absolute
esac
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

case "$action" in
start)
    if [ ! -f "$prefix/system.reg" ]; then
        mkdir -p "$prefix"
        wineboot -i >/dev/null 2>&1
        wineserver -w
    fi
    # Detached and silent: the test runner must not wait on its output.
    setsid wineserver -p </dev/null >/dev/null 2>&1 &
    # Wine's services start with the first program; let that be this one,
    # not a test's fwld.exe.
    setsid wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
    echo "Wine prefix ready: $prefix"
    ;;
stop)
    wineserver -k >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
