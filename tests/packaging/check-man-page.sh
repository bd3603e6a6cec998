#!/bin/sh
# A manual page renders without a single warning: groff -man -ww -z prints
# nothing and succeeds.
set -eu
groff=$1
page=$2
if ! command -v "$groff" >/dev/null 2>&1; then
    echo "groff is not installed (tools/ensure-deps.sh test installs it)"
    exit 1
fi
messages=$("$groff" -man -ww -z "$page" 2>&1) || { echo "$messages"; exit 1; }
if [ -n "$messages" ]; then
    echo "$messages"
    exit 1
fi
