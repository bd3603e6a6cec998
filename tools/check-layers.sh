#!/bin/sh
# The floors of fwld's code hold: update/ (the run) sits on serial/ and
# console/, which know nothing of it or of each other, and the platform
# stays in the files named for it. ARCHITECTURE.md draws the floors.
#   check-layers.sh [SOURCE_DIR]
# Prints every include that breaks a rule and exits 1; silent and 0 when
# all hold.
set -u
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top" || exit 2

# What each lower floor shows the run; the rest of its headers are its own.
public_serial="port.h device_names.h line_codes.h line_wait.h trace.h low_latency.h"
public_console="console.h clock.h keyboard.h restore.h digest.h result_file.h event_stream.h"
# Headers of the operating system or of a platform library.
platform_headers='windows\.h|mmsystem\.h|bcrypt\.h|io\.h|termios\.h|poll\.h|sys/ioctl\.h|sys/file\.h|linux/|asm/|openssl/'

failures=0
fail() {
    echo "$1"
    failures=$((failures + 1))
}

in_list() {
    for item in $2; do [ "$item" = "$1" ] && return 0; done
    return 1
}

# The floor a project header belongs to, by where it lives.
floor_of() {
    for dir in update serial console; do
        [ -f "$dir/$1" ] && { echo "$dir"; return; }
    done
    echo none
}

# A file of a platform: the seam files and their private headers.
is_platform_file() {
    case $(basename "$1") in
    *_posix.* | *_win32.* | *_linux.* | win32_api.h | native_line.h) return 0 ;;
    esac
    return 1
}

is_public() {
    case $1 in
    serial) in_list "$2" "$public_serial" ;;
    console) in_list "$2" "$public_console" ;;
    *) return 0 ;;
    esac
}

for file in update/*.cpp update/*.h serial/*.cpp serial/*.h console/*.cpp console/*.h; do
    [ -f "$file" ] || continue
    floor=${file%%/*}
    name=$(basename "$file")
    # Platform headers only in the platform's own files.
    if ! is_platform_file "$file"; then
        grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($platform_headers)" "$file" | while IFS= read -r hit; do
            echo "$file:$hit: a platform header outside the platform's files"
        done | grep . && failures=$((failures + 1))
    fi
    # Project headers: downwards only, and only what a floor shows.
    for header in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
        target=$(floor_of "$header")
        [ "$target" = none ] && continue
        case $floor:$target in
        update:update | serial:serial | console:console) ;;
        update:serial | update:console)
            is_public "$target" "$header" || fail "$file: includes $target/$header, which is $target/'s own" ;;
        *) fail "$file: includes $target/$header: $floor/ must not depend on $target/" ;;
        esac
        # A header that another floor may see shows only what that floor may see.
        if [ "$floor" != update ] && is_public "$floor" "$name" && [ "$target" = "$floor" ] &&
            ! is_public "$floor" "$header"; then
            fail "$file: a header the run sees includes $floor/$header, which is $floor/'s own"
        fi
    done
done

[ "$failures" -eq 0 ] || { echo "$failures include(s) break the floors (see ARCHITECTURE.md)"; exit 1; }
exit 0
