#!/bin/sh
# The floors' checker (tools/check-layers.sh) passes the tree as it is, and
# fails each kind of breach planted, one at a time, in a scratch copy of the
# floors, naming the file it was planted in.
#   check-layers-test.sh SOURCE_DIR
set -u
src=${1:?source dir}
checker=$src/tools/check-layers.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

if ! sh "$checker" "$src" >"$scratch/out" 2>&1; then
    echo "the tree as it is fails the checker:"
    cat "$scratch/out"
    failures=$((failures + 1))
fi

# A scratch tree of the floors holding FILE alone, as it is in the tree
# (or new), with TEXT appended.
scratch_with() {
    rm -rf "$scratch/tree"
    for floor in host serial console update gang target; do mkdir -p "$scratch/tree/$floor"; done
    mkdir -p "$(dirname "$scratch/tree/$1")"
    [ -f "$src/$1" ] && cp "$src/$1" "$scratch/tree/$1"
    printf '%s\n' "$2" >>"$scratch/tree/$1"
}

# plant NAME FILE TEXT: TEXT appended to FILE (made if missing) must fail.
plant() {
    scratch_with "$2" "$3"
    if sh "$checker" "$scratch/tree" >"$scratch/out" 2>&1; then
        echo "not caught: $1"
        failures=$((failures + 1))
    elif ! grep -q "^$2:" "$scratch/out"; then
        echo "caught, but not in $2: $1"
        cat "$scratch/out"
        failures=$((failures + 1))
    fi
}

# allowed NAME FILE TEXT: TEXT appended to FILE must pass.
allowed() {
    scratch_with "$2" "$3"
    if ! sh "$checker" "$scratch/tree" >"$scratch/out" 2>&1; then
        echo "refused, yet allowed: $1"
        cat "$scratch/out"
        failures=$((failures + 1))
    fi
}

plant "an include by a relative path" update/run.cpp '#include "../serial/port_slot.h"'
plant "an include of another floor by its folder" gang/station.cpp '#include "serial/port_slot.h"'
plant "a platform header in quotes" update/run.cpp '#include "unistd.h"'
plant "<pthread.h>" console/console.cpp '#include <pthread.h>'
plant "<sys/stat.h> in a header" host/clock.h '#include <sys/stat.h>'
plant "a switch on _WIN32 in a portable header" serial/port.h '#ifdef _WIN32
#endif'
plant "a switch on the platform by defined()" host/text.h '#if defined(__linux__) || 0
#endif'
plant "a .hpp file in a subfolder" update/detail/extra.hpp '#include <windows.h>'
plant "exit() with a comment after it" update/loader.cpp 'void leave() { exit(1); // out }'
plant "std::exit" console/text.cpp 'void leave() { std::exit(2); }'
plant "abort" serial/trace.cpp 'void leave() { abort(); }'
plant "quick_exit" host/clock.cpp 'void leave() { std::quick_exit(0); }'
plant "_Exit" update/settings.cpp 'void leave() { _Exit(1); }'
plant "raise" host/restore.cpp 'void leave() { raise(SIGTERM); }'
plant "kill of the process itself" gang/station.cpp 'void leave() { kill(getpid(), SIGTERM); }'
plant "TerminateProcess of the process itself" gang/render.cpp 'void leave() { TerminateProcess(GetCurrentProcess(), 1); }'
plant "ExitProcess" target/cli.cpp 'void leave() { ExitProcess(1); }'
plant "_exit(127) outside the forked child's file" serial/port_table.cpp 'void leave() { _exit(127); }'
allowed "exit in a main.cpp" update/main.cpp 'void leave() { exit(1); }'
allowed "a word in a comment" update/run.cpp '// the run may exit( here, or raise( there'
allowed "a platform header in a platform file" host/clock_posix.cpp '#include <pthread.h>'
allowed "the end of a child" gang/session_posix.cpp 'void end_child(int pid) { kill(pid, 15); }'

[ "$failures" -eq 0 ] || { echo "$failures case(s) wrong"; exit 1; }
echo "the checker keeps every rule"
