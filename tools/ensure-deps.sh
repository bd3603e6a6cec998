#!/bin/sh
# Installs what a make target needs on Debian, or says what to install when
# not run as root.
#   ensure-deps.sh build     the native build and its tests
#   ensure-deps.sh windows   also the Windows cross build and Wine to test it
#   ensure-deps.sh bench     also the benchmark's system call counters
set -e
need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }
missing=""
need cmake cmake
need g++ g++
need make make
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
if [ "${1:-build}" = windows ]; then
    need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
    need wine wine
    [ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
fi
if [ "${1:-build}" = bench ]; then
    need strace strace
    need perf linux-perf
    need taskset util-linux
fi
[ -n "$missing" ] || exit 0
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
else
    echo "Missing:$missing" >&2
    echo "Install them with: sudo apt-get install$missing" >&2
    exit 1
fi
