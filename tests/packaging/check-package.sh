#!/bin/sh
# Builds a package from a build directory and checks that it holds the
# given files; a Debian package must also pass lintian with no error or
# warning that its overrides do not give a reason for.
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
if [ "$generator" = DEB ]; then
    if ! command -v lintian >/dev/null 2>&1; then
        echo "lintian is not installed (tools/ensure-deps.sh test installs it)"
        exit 1
    fi
    # lintian leaves temporary files behind: in $out they go with it. As
    # root it says so on every run; that is no finding.
    if ! TMPDIR="$out" lintian --fail-on error,warning "$package" > "$out/lintian.log" 2>&1; then
        grep -v '^running with root privileges' "$out/lintian.log"
        status=1
    fi
fi
exit $status
