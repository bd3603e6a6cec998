#!/bin/sh
# Builds the zip from the Windows build directory and checks that it holds
# the program and the README, at its top.
set -eu
build=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/fwld-zip.XXXXXX")
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$out" > "$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
zip=$(ls "$out"/*.zip)
contents=$(cd "$out" && cmake -E tar tf "$zip")
status=0
for file in fwld.exe README.md; do
    if ! printf '%s\n' "$contents" | grep -qx "$file"; then
        echo "missing from $zip: $file"
        status=1
    fi
done
[ "$status" -eq 0 ] || printf '%s\n' "$contents"
exit $status
