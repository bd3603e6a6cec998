#!/bin/sh
# Installs what the build and the tests need on Debian, or says what to
# install when not run as root. With the argument "fuzz" also what the
# fuzzers need: clang and its fuzzer runtime.
set -e

install_or_tell() {
    [ -n "$1" ] || return 0
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing:$1"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $1
    else
        echo "Missing:$1" >&2
        echo "Install them with: sudo apt-get install$1" >&2
        exit 1
    fi
}

missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v make >/dev/null 2>&1 || missing="$missing make"
[ -f /usr/include/gtest/gtest.h ] || missing="$missing libgtest-dev"
[ "$1" = fuzz ] && ! command -v clang++ >/dev/null 2>&1 && missing="$missing clang"
install_or_tell "$missing"

# libFuzzer ships apart from clang, in the runtime package of its version.
if [ "$1" = fuzz ]; then
    runtime_dir=$(clang++ -print-runtime-dir)
    if ! ls "$runtime_dir"/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
        install_or_tell " libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
    fi
fi
