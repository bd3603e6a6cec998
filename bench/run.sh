#!/bin/sh
# make bench: builds what the benchmark needs, runs it and prints the table
# (bench/README.md says what each figure means).
#   BENCH_WINE=1     also fwld.exe under Wine, installing what that needs
#   BENCH_WINE=0     native only
#   BENCH_WINE unset Wine too when the cross compiler and Wine are installed
#   BENCH_ONLY=LIST  only some of: throughput,events,syscalls,cpu,paced,side-by-side,gang,station
#   BENCH_RUNS=N     1 MiB runs per placement, native (default 9)
#   BENCH_WINE_RUNS=N  1 MiB runs under Wine (default 5)
#   BENCH_BASELINE=FWLD  also measure this native fwld (an earlier build) in
#                    a column of its own, in the same run
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${BUILD:-build}
win_build=${WIN_BUILD:-build-win}
make=${MAKE:-make}
case "$build" in /*) build_abs=$build ;; *) build_abs=$root/$build ;; esac

wine=0
case "${BENCH_WINE:-}" in
1) wine=1 ;;
0) ;;
*) if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1 &&
       [ -x /usr/lib/wine/wine64 ] && [ -f /usr/src/googletest/CMakeLists.txt ]; then
       wine=1
   fi ;;
esac

sh tools/ensure-deps.sh bench ||
    echo "note: the benchmark runs on; what it cannot measure without these it skips" >&2
if [ $wine = 1 ]; then
    "$make" --no-print-directory windows BUILD="$build" WIN_BUILD="$win_build"
fi
# Configured after the Windows build, so that the Wine wrapper exists.
"$make" --no-print-directory build BUILD="$build" WIN_BUILD="$win_build"
cmake --build "$build" --target fwld-bench -j"${JOBS:-2}"

mkdir -p "$build/bench"
set -- --out "$build/bench/results.txt" --runs "${BENCH_RUNS:-9}"
[ -z "${BENCH_ONLY:-}" ] || set -- "$@" --only "$BENCH_ONLY"
[ -z "${BENCH_BASELINE:-}" ] || set -- "$@" --baseline "$BENCH_BASELINE"
if [ $wine = 1 ]; then
    prefix=$build_abs/wineprefix
    sh tools/wine-prefix.sh start "$prefix"
    trap 'sh tools/wine-prefix.sh stop "$prefix"' EXIT
    set -- "$@" --wine "$build/fwld-wine" --wine-prefix "$prefix" --wine-runs "${BENCH_WINE_RUNS:-5}"
else
    echo "note: no Windows build under Wine (BENCH_WINE=1 installs and builds what it needs)" >&2
fi
"$build/bench/fwld-bench" "$@" | tee "$build/bench/table.txt"
