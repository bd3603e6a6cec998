#!/bin/sh
# Demo update: fwld flashes the simulated target over a pseudo-terminal, and
# the target checks that it received exactly the file's records.
set -eu
build=${1:-build}
dir=$(mktemp -d "${TMPDIR:-/tmp}/fwld-demo.XXXXXX")
target_pid=""
cleanup() {
    [ -n "$target_pid" ] && kill "$target_pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM

# A 1000-byte loader and a program record file of 60 records of 32 bytes,
# with line ends between the records, closed by the E record.
i=0
while [ $i -lt 1000 ]; do printf 'L'; i=$((i + 1)); done > "$dir/boot.bin"
i=1
while [ $i -le 60 ]; do printf 'S\040%032d\r\n' $i; i=$((i + 1)); done > "$dir/app.hex"
printf 'E\r\n' >> "$dir/app.hex"

echo "== simulated target: 9600 baud line, asks for 115200 after record 20"
"$build/fwld-target" --link "$dir/ttyTARGET" --line-rate --expect "$dir/app.hex" \
    --speed-after 20:115200 --message-after 40:"half way there" --erase-list-after 1 \
    --timeout 120 --quiet > "$dir/target.log" 2>&1 &
target_pid=$!
n=0
while [ ! -e "$dir/ttyTARGET" ]; do
    kill -0 "$target_pid" 2>/dev/null || { cat "$dir/target.log" >&2; exit 1; }
    n=$((n + 1))
    if [ $n -gt 100 ]; then echo "the simulated target did not start" >&2; exit 1; fi
    sleep 0.1
done

echo "== fwld: erase wait 3 s, write wait 2 ms, password every 100 ms"
status=0
"$build/fwld" "$dir/boot.bin" "$dir/app.hex" 3 2 100 0 "$dir/ttyTARGET:9600" 0 ES0,1,2 || status=$?
echo "== fwld exit status: $status"

target_status=0
wait "$target_pid" || target_status=$?
target_pid=""
echo "== what the simulated target received:"
grep -v '^device:' "$dir/target.log" | sed 's/^/   /'
echo "== what the file holds:"
"$build/fwld-target" --digest "$dir/app.hex" | sed 's/^/   /'
if [ "$status" -eq 0 ] && [ "$target_status" -eq 0 ]; then
    echo "== demo update complete: the target holds exactly the file's records"
else
    echo "== demo update failed (fwld $status, target $target_status)" >&2
    exit 1
fi
