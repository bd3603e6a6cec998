#!/bin/sh
# Installs what a make target needs on Debian, or says what to install when
# not run as root. A minimal Debian has the shell, coreutils, grep, sed,
# gzip and util-linux; everything else a build or a test calls is named here.
#   ensure-deps.sh build     the native build and its tests
#   ensure-deps.sh test      also the tools the tests call: file and
#                            dpkg-shlibdeps to make the Debian package,
#                            lintian to judge it, groff for the manual pages
#   ensure-deps.sh windows   also the Windows cross build and Wine to test it
#   ensure-deps.sh fuzz      also clang and its fuzzer runtime
#   ensure-deps.sh bench     also the benchmark's system call counters
set -e

install_or_tell() {
    [ -n "$1" ] || return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing:$1"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $1
    else
        echo "Missing:$1" >&2
        echo "Install them with: sudo apt-get install$1" >&2
        exit 1
    fi
}

need() { command -v "$1" >/dev/null 2>&1 || missing="$missing $2"; }

what=${1:-build}
missing=""
need cmake cmake
need g++ g++
need make make
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ -f /usr/include/openssl/evp.h ] || missing="$missing libssl-dev"
[ -f /usr/include/nlohmann/json.hpp ] || missing="$missing nlohmann-json3-dev"
if [ "$what" = test ]; then
    need file file
    need dpkg-shlibdeps dpkg-dev
    need lintian lintian
    need groff groff-base
    need gzip gzip
fi
if [ "$what" = windows ]; then
    need x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
    need wine wine
    [ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
fi
if [ "$what" = bench ]; then
    need strace strace
    need perf linux-perf
    need taskset util-linux
fi
[ "$what" = fuzz ] && need clang++ clang
install_or_tell "$missing"

# libFuzzer ships apart from clang, in the runtime package of its version.
if [ "$what" = fuzz ]; then
    runtime_dir=$(clang++ -print-runtime-dir)
    if ! ls "$runtime_dir"/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
        install_or_tell " libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
    fi
fi
exit 0
