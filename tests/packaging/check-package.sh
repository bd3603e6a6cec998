#!/bin/sh
# Builds a package from a build directory and checks that it holds the
# given files.
#   check-package.sh BUILD DEB|ZIP FILE...
set -eu
build=$1
generator=$2
shift 2
out=$(mktemp -d "${TMPDIR:-/tmp}/fwld-package.XXXXXX")
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G "$generator" -B "$out" > "$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
package=$(ls "$out"/*.deb "$out"/*.zip 2>/dev/null | head -n 1)
case "$generator" in
DEB) contents=$(dpkg-deb -c "$package" | awk '{print $6}') ;;
ZIP) contents=$(cd "$out" && cmake -E tar tf "$package") ;;
*) echo "unknown package kind: $generator"; exit 2 ;;
esac
status=0
for file in "$@"; do
    if ! printf '%s\n' "$contents" | grep -qx "$file"; then
        echo "missing from $package: $file"
        status=1
    fi
done
[ "$status" -eq 0 ] || printf '%s\n' "$contents"
exit $status
