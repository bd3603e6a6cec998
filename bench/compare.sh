#!/bin/sh
# Two results files of `make bench` side by side, with the change in per cent:
#   sh bench/compare.sh before.txt build/bench/results.txt
[ $# = 2 ] || { echo "usage: $0 BEFORE AFTER" >&2; exit 2; }
awk '
    /^#/ { next }
    NR == FNR { before[$1] = $2; next }
    {
        unit = $3; for (i = 4; i <= NF; i++) unit = unit " " $i
        if (!($1 in before)) { printf "%-54s %12s %12s  %s\n", $1, "-", $2, unit; next }
        change = (before[$1] + 0 != 0 && $2 != "n/a") ? sprintf("%+.1f %%", 100 * ($2 - before[$1]) / before[$1]) : ""
        printf "%-54s %12s %12s  %-8s %s\n", $1, before[$1], $2, unit, change
    }
' "$1" "$2"
