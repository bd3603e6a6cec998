#!/bin/sh
# Builds the Debian package from the build directory and checks that it
# holds both programs and both manual pages.
set -eu
build=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/fwld-deb.XXXXXX")
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" > "$out/cpack.log" 2>&1 || {
    cat "$out/cpack.log"
    exit 1
}
deb=$(ls "$out"/*.deb)
contents=$(dpkg-deb -c "$deb")
status=0
for file in ./usr/bin/fwld ./usr/bin/fwld-target ./usr/share/man/man1/fwld.1.gz ./usr/share/man/man1/fwld-target.1.gz; do
    if ! printf '%s\n' "$contents" | awk '{print $6}' | grep -qx "$file"; then
        echo "missing from $deb: $file"
        status=1
    fi
done
[ "$status" -eq 0 ] || printf '%s\n' "$contents"
exit $status
