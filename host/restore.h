// The one owner of the way out and of every signal handler. Modules that
// change something outside the process (the terminal, a USB adapter's
// latency flag, the console's mode) or hold output that must not be lost
// (the traffic trace, the result record) register a step that puts it back;
// main installs the handlers once, and every way out runs the steps: the
// return from main, and on POSIX the signals that end a run (SIGINT,
// SIGTERM, SIGHUP, SIGQUIT), which still end the process as they would
// have without us. On Windows Ctrl-C, Ctrl-Break and the console closing
// are the break: no handler ends anything, every wait wakes on it and the
// run ends on its own thread, through main.
#pragma once
#include <cstdint>

constexpr int RESTORE_STEPS_MAX = 8;

// Adds a step (newest runs first). Each step must be async-signal-safe and
// harmless when it has nothing to do or runs twice. False when the table is
// full.
bool restore_register(void (*step)());
// Installs the exit handler and the signals' handlers (POSIX: the ending
// signals, Ctrl-Z and its return, SIGPIPE ignored so that a console whose
// reader went away fails quietly), or the break's handler (Windows). Once,
// from main, before anything is changed.
void restore_install();
// Runs every registered step now.
void restore_all();
// Holds the ending signals back until the release (POSIX; nothing to hold
// on Windows, whose break is seen by the run itself): what is written in
// between is never met half done by a signal's own writing. Pairs may nest.
void restore_hold_signals();
void restore_release_signals();
// While the steps run for a signal, or once the break has come on Windows:
// the status the process ends with (128 + the signal's number as a shell
// shows it; on Windows 0xC000013A), and its cause in words ("SIGTERM",
// "Ctrl-C"). 0 and "" otherwise.
long restore_ending_status();
const char* restore_ending_cause();

// Ctrl-Z (POSIX): give_back hands the terminal back before the stop, and
// take_back takes it again after it, if it was ever handed back.
// restore_arm_suspend puts the Ctrl-Z handler back after a stop that never
// came (an orphaned process group ignores it).
void restore_on_suspend(void (*give_back)(), void (*take_back)());
void restore_arm_suspend();

// The break (Windows): true once it has come. Always false on POSIX.
bool restore_break_seen();
// What a wait blocks on to wake at the break: a HANDLE; 0 where there is none.
intptr_t restore_break_handle();
// Tests: the break, as if the operator had pressed Ctrl-C (Windows; nothing
// on POSIX).
void restore_break_now();
