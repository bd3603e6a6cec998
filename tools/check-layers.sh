#!/bin/sh
# What the compiler cannot see of fwld's floors (ARCHITECTURE.md). The build
# keeps which floor sees which: each floor is a library that shows only its
# public headers (<floor>/include/) and links only the floors under it, so
# an include of a private header or of a floor above does not compile. This
# checker keeps the rest, over every source file of the floors (host serial
# console update gang target), compiled or not, in any subfolder:
#   1. an include by a path ("../x.h", "serial/port_slot.h"): it would step
#      past the build's include folders;
#   2. a platform header (<windows.h>, <unistd.h>, <pthread.h>, <sys/...>,
#      in angle brackets or quotes) outside the platform's own files
#      (*_posix.*, *_win32.*, *_linux.*);
#   3. a switch on the platform (#if/#ifdef on _WIN32, __linux__, ...) in a
#      portable file: the build picks the platform's files instead;
#   4. a call that ends this process (exit, _Exit, quick_exit, abort, raise,
#      ExitProcess, a kill or TerminateProcess of the process itself) outside
#      a main.cpp, comments or not; the forked child that could not exec in
#      gang/session_posix.cpp alone may _exit. Ending a child process is not
#      ending this one.
#   check-layers.sh [SOURCE_DIR]
# Prints every line that breaks a rule and exits 1; silent and 0 when all hold.
set -u
top=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$top" || exit 2

floors="host serial console update gang target"
platform_headers='windows|winsock2|mmsystem|bcrypt|setupapi|devguid|initguid|io|conio|process|direct|termios|unistd|fcntl|poll|dirent|pty|glob|pthread|dlfcn|spawn|grp|pwd|libgen|sys/[a-z_/]+|linux/[a-z_/]+|asm/[a-z_/]+|openssl/[a-z_/]+'
platform_macros='_WIN32|_WIN64|WIN32|__linux__|__linux|__unix__|__unix|__APPLE__|__MACH__|_MSC_VER|__MINGW32__|__MINGW64__|__CYGWIN__|_POSIX_VERSION|__FreeBSD__|__NetBSD__|__OpenBSD__'
ending_calls='(^|[^_[:alnum:]:.>])((std|::)?:*)(exit|_Exit|quick_exit|abort|raise|ExitProcess)[[:space:]]*\(|(^|[^_[:alnum:]])_exit[[:space:]]*\(|(^|[^_[:alnum:]])kill[[:space:]]*\([[:space:]]*(getpid[[:space:]]*\([[:space:]]*\)|0[[:space:]]*,|-1[[:space:]]*,)|TerminateProcess[[:space:]]*\([[:space:]]*GetCurrentProcess'

failures=0
fail() {
    printf '%s\n' "$1"
    failures=$((failures + 1))
}

is_platform_file() {
    case $(basename "$1") in
    *_posix.* | *_win32.* | *_linux.*) return 0 ;;
    esac
    return 1
}

# The file's code with its comments blanked out (their lines kept, so line
# numbers still point at the file): a call a comment follows still counts,
# a word in a comment does not.
code_of() {
    sed -e ':a' -e '/\/\*/{' -e '/\*\//!{N;ba' -e '}' -e '}' \
        -e 's:/\*[^*]*\*\+\([^/*][^*]*\*\+\)*/::g' -e 's://.*$::' "$1"
}

report() {
    # $1 file, $2 grep output "N:text", $3 what is wrong
    [ -n "$2" ] || return 0
    printf '%s\n' "$2" | while IFS= read -r hit; do
        printf '%s:%s: %s\n' "$1" "$hit" "$3"
    done
    fail_count=$(printf '%s\n' "$2" | wc -l)
    failures=$((failures + fail_count))
}

files=$(for floor in $floors; do
    [ -d "$floor" ] && find "$floor" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.hh' -o -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' \)
done | sort)

for file in $files; do
    code=$(code_of "$file")
    hits=$(printf '%s\n' "$code" | grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/[^"]*"')
    report "$file" "$hits" "an include by a path; name the header, the build's include folders find it"
    if ! is_platform_file "$file"; then
        hits=$(printf '%s\n' "$code" | grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($platform_headers)(\.h)?[>\"]")
        report "$file" "$hits" "a platform header outside the platform's files (*_posix, *_win32, *_linux)"
        hits=$(printf '%s\n' "$code" | grep -nE "^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)([[:space:]]|\().*($platform_macros)")
        report "$file" "$hits" "a switch on the platform in a portable file; the build picks the platform's files"
    fi
    case $(basename "$file") in
    main.cpp) ;;
    *)
        hits=$(printf '%s\n' "$code" | grep -nE "$ending_calls")
        if [ "$file" = gang/session_posix.cpp ]; then
            hits=$(printf '%s\n' "$hits" | grep -vE '(^|[^_[:alnum:]])_exit\(127\);[[:space:]]*$' | grep -v '^$')
        fi
        report "$file" "$hits" "the process ends in a main.cpp alone"
        ;;
    esac
done

[ "$failures" -eq 0 ] || { echo "$failures rule(s) broken (see ARCHITECTURE.md)"; exit 1; }
exit 0
