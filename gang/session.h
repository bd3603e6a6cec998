// Platform seam of fwld-gang, part two: the children, the keyboard and the
// terminal. session_posix.cpp and session_win32.cpp.
//
// Each fwld runs with a keyboard of its own that fwld-gang can press (a
// pseudo-terminal on POSIX, the shared console's input on Windows); its
// whole console output (stdout and stderr, in order) comes back here, and
// its event stream (EV) on a pipe of its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "args.h"
#include "run.h"

// Starts fwld for child `index` (0 .. GANG_PORTS_MAX-1), which has ended if
// it ran before. argv ends with nullptr; argv[0] is the program;
// argv[stream_argument] is set here to the EV option of the child's event
// stream. False with the reason.
bool child_start(int index, const char* program, char** argv, int stream_argument, char* reason, size_t size);
// A key press for the child, the way an operator ends fwld.
void child_press_key(int index);
// Ends the child the way Ctrl-C ends fwld.
void child_interrupt(int index);
// Ends this one child as a key would, the others untouched (on Windows as
// Ctrl-C does).
void child_end_alone(int index);
// Passes a terminating signal on (POSIX; on Windows the same as interrupt).
void child_forward(int index, int signal);

enum EventKind {
    EVENT_TIMEOUT,
    EVENT_OUTPUT,     // bytes from a child's console
    EVENT_STREAM,     // bytes of a child's event stream
    EVENT_ENDED,      // a child has ended and its output and stream are all read
    EVENT_KEY,        // keys on fwld-gang's keyboard: `keys`, in a station
    EVENT_INTERRUPT,  // Ctrl-C
    EVENT_TERMINATE,  // SIGTERM, SIGHUP or SIGQUIT: `signal`
    EVENT_NOTICE,     // the handle given to wait_also has woken (and is drained)
};

struct Event {
    EventKind kind;
    int child;
    const unsigned char* bytes;  // valid until the next call
    size_t count;
    ChildEnd end;
    int signal;
    const int* keys;  // key codes (console/keyboard.h), valid until the next call
    int key_count;
};

// Blocks until something happens or timeout_ms passes (-1: no limit).
Event next_event(int32_t timeout_ms);
// One more handle for next_event to wait on (POSIX: a descriptor whose
// bytes mean only "look now"); -1 for none.
void wait_also(intptr_t handle);

// The keyboard is taken (keys one at a time, no echo) and Ctrl-C caught; the
// terminal comes back as it was on every way out. Only in the foreground.
// `keys_alone`: the keys are fwld-gang's alone, each passed on as its code
// (a station); else on Windows a key stays for every fwld.exe to see.
void keyboard_take(bool keys_alone);
void terminal_restore();
// Readies the standard output (byte for byte, and on a terminal for the
// redrawn table) and says whether it is a terminal that takes the table.
bool prepare_output();
// The terminal's width and height.
int output_width();
int output_height();

// Runs fwld to its end with nothing for its keyboard, before any child:
// its exit status, -1 when it could not be run, with everything it wrote
// in `said`.
int run_to_end(const char* program, char** argv, std::string* said);
// After the children have all ended: the signal that ended fwld-gang, if
// one did, gets its default action back so that main can raise it again as
// its last act (POSIX; false where there is nothing to raise).
bool signal_default(int signal);
