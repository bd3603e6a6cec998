#!/bin/sh
# The floors of fwld's code hold (ARCHITECTURE.md):
#   update/ gang/          the programs: one run, many runs
#   serial/ console/       the line, what the operator sees and types
#   host/                  what the process takes from the system
# A floor includes only the floors under it, and of those only what they
# show (their public headers); serial/ and console/ know nothing of each
# other; target/, the simulated target, is the independent oracle and
# includes none of them. Platform headers stand only in the files named for
# their platform (*_posix, *_win32, *_linux). And the process ends in one
# place: no exit() but in a program's main.cpp.
#   check-layers.sh [SOURCE_DIR]
# Prints every line that breaks a rule and exits 1; silent and 0 when all hold.
set -u
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top" || exit 2

floors="host serial console update gang target"
# What each lower floor shows the floors above it; the rest is its own.
public_host="restore.h clock.h digest.h result_file.h event_stream.h input_file.h system.h text.h json.h record_fields.h"
public_serial="port.h device_names.h line_codes.h line_wait.h trace.h low_latency.h"
public_console="console.h keyboard.h key_event_win32.h"
# Headers of the operating system or of a platform library.
platform_headers='windows\.h|mmsystem\.h|bcrypt\.h|setupapi\.h|devguid\.h|initguid\.h|io\.h|termios\.h|unistd\.h|fcntl\.h|poll\.h|dirent\.h|pty\.h|glob\.h|sys/|linux/|asm/|openssl/'

failures=0
fail() {
    echo "$1"
    failures=$((failures + 1))
}

in_list() {
    for item in $2; do [ "$item" = "$1" ] && return 0; done
    return 1
}

# The floors a floor may include, under it.
floors_under() {
    case $1 in
    serial | console) echo host ;;
    update | gang) echo "host serial console" ;;
    *) echo "" ;;
    esac
}

# The floor of an included header: the including file's own first, then
# wherever it lives.
floor_of() {
    [ -f "$2/$1" ] && { echo "$2"; return; }
    for dir in $floors; do
        [ -f "$dir/$1" ] && { echo "$dir"; return; }
    done
    echo none
}

is_platform_file() {
    case $(basename "$1") in
    *_posix.* | *_win32.* | *_linux.*) return 0 ;;
    esac
    return 1
}

is_public() {
    case $1 in
    host) in_list "$2" "$public_host" ;;
    serial) in_list "$2" "$public_serial" ;;
    console) in_list "$2" "$public_console" ;;
    *) return 1 ;;
    esac
}

for floor in $floors; do
    for file in "$floor"/*.cpp "$floor"/*.h; do
        [ -f "$file" ] || continue
        if ! is_platform_file "$file"; then
            hits=$(grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*<($platform_headers)" "$file")
            [ -n "$hits" ] && fail "$(echo "$hits" | sed "s|^|$file:|;s|\$|: a platform header outside the platform's files|")"
        fi
        for header in $(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file"); do
            target=$(floor_of "$header" "$floor")
            [ "$target" = none ] || [ "$target" = "$floor" ] && continue
            if ! in_list "$target" "$(floors_under "$floor")"; then
                fail "$file: includes $target/$header: $floor/ must not depend on $target/"
            elif ! is_public "$target" "$header"; then
                fail "$file: includes $target/$header, which is $target/'s own"
            fi
        done
        case $(basename "$file") in
        main.cpp) ;;
        *)
            # A forked child that could not exec is the one other way out.
            hits=$(grep -nE '(^|[^_[:alnum:]])(std::)?(exit|_Exit|quick_exit|abort|ExitProcess)[[:space:]]*\(|(^|[^[:alnum:]])_exit[[:space:]]*\(' "$file" |
                grep -vE '//|_exit\(127\);[[:space:]]*$')
            [ -n "$hits" ] && fail "$(echo "$hits" | sed "s|^|$file:|;s|\$|: the process ends in main alone|")" ;;
        esac
    done
done

[ "$failures" -eq 0 ] || { echo "$failures rule(s) broken (see ARCHITECTURE.md)"; exit 1; }
exit 0
