#!/bin/sh
# Runs every fuzz target of a fuzz build for a bounded time, starting from
# the seed corpus in fuzz/corpus/<target>/ (new inputs go to the build
# folder, not into the repository). Fails on the first finding; the input
# that shows it is left in <build>/findings/.
# Usage: tools/run-fuzzers.sh BUILD_DIR SECONDS_PER_TARGET
set -e
build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build/findings"
status=0
for seeds in "$root"/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    mkdir -p "$build/corpus/$target"
    log="$build/findings/$target.log"
    echo "fuzz_$target: $seconds s"
    if "$build/fuzz_$target" "$build/corpus/$target" "$seeds" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$build/findings/$target-" -print_final_stats=1 >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz_$target: $runs runs, no finding"
    else
        status=1
        echo "fuzz_$target: FINDING (log: $log)" >&2
        grep -a -E "FINDING|ERROR|runtime error|SUMMARY" "$log" | head -5 >&2
    fi
done
exit $status
