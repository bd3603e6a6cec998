// The one owner of the way out. Modules that change something outside the
// process (the terminal, a USB adapter's latency flag, the console's mode)
// or hold output that must not be lost (the traffic trace) register a step
// that puts it back; main installs the handlers once, and every way out runs
// the steps: the normal exit, a fatal stop, and on POSIX the signals that end
// a run (SIGINT, SIGTERM, SIGHUP, SIGQUIT).
#pragma once

constexpr int RESTORE_STEPS_MAX = 8;

// Adds a step (newest runs first). Each step must be async-signal-safe and
// harmless when it has nothing to do or runs twice. False when the table is
// full.
bool restore_register(void (*step)());
// Installs the exit handler and the ending signals' handler (POSIX), or the
// Ctrl-C handler (Windows). Once, from main, before anything is changed.
void restore_install();
// Runs every registered step now.
void restore_all();
// Holds the ending signals back until the release (POSIX; nothing to hold
// on Windows, whose break is seen by the run itself): what is written in
// between is never met half done by a signal's own writing. Pairs may nest.
void restore_hold_signals();
void restore_release_signals();
// While the steps run for a signal or for Ctrl-C on Windows: the status the
// process ends with (128 + the signal's number as a shell shows it; on
// Windows 0xC000013A). 0 on every other way out.
long restore_ending_status();
// What ends the process then, in words: "SIGTERM", "Ctrl-C". "" otherwise.
const char* restore_ending_cause();
