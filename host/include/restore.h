// The one owner of the way out and of every signal handler of fwld.
// Modules that change something outside the process (the terminal, a USB
// adapter's latency flag, the console's mode) or hold output that must not
// be lost (the traffic trace) register a step that puts it back; every way
// out runs the steps in normal code: the return from main, and the end of a
// run that a signal or the break ended.
//
// An ending signal (POSIX: SIGINT, SIGTERM, SIGHUP, SIGQUIT; Windows: Ctrl-C,
// Ctrl-Break, the console closing) is only noted: its handler wakes every
// wait (restore_wake_handle is in each wait set), the run sees it as it sees
// a key, and end_run ends it and writes its record in normal code. main
// then lets the signal end the process (POSIX), so the shell sees the real
// cause. A second ending signal while the run ends puts the terminal back
// and ends the process at once.
#pragma once
#include <cstdint>

constexpr int RESTORE_STEPS_MAX = 8;

// Adds a step (newest runs first), harmless when it has nothing to do or
// runs twice. False when the table is full.
bool restore_register(void (*step)());
// A step a second ending signal runs from its handler before the process
// ends (the terminal): async-signal-safe calls only.
bool restore_register_urgent(void (*step)());
// Installs the handlers, once, from main, before anything is changed:
// POSIX the ending signals (one already ignored, as under nohup, stays
// ignored), Ctrl-Z and its return, SIGPIPE ignored so that a console whose
// reader went away fails quietly; Windows the break.
// take_default_action gives a signal its default action (the process ends,
// or for Ctrl-Z stops): main owns it, as it owns every way out.
void restore_install(void (*take_default_action)(int signal));
// Runs every registered step now.
void restore_all();
// Holds the ending signals back until the release (POSIX): while end_run
// writes the record, a second signal cannot cut it short. Pairs may nest.
void restore_hold_signals();
void restore_release_signals();

// True once an ending signal or the break has come: the run ends as for a
// key, and end_run as the signal ends it.
bool restore_ending_seen();
// What a wait blocks on to wake when that happens: a descriptor (POSIX) or
// an event HANDLE (Windows); 0 where none was installed.
intptr_t restore_wake_handle();
// The status the process ends with (128 + the signal's number as a shell
// shows it; on Windows 0xC000013A), its cause in words ("SIGTERM",
// "Ctrl-C"), and the signal main ends the process with (POSIX; 0 on
// Windows and when none came).
long restore_ending_status();
const char* restore_ending_cause();
int restore_ending_signal();

// Ctrl-Z (POSIX): give_back hands the terminal back before the stop, and
// take_back takes it again after it, if it was ever handed back.
// restore_arm_suspend puts the Ctrl-Z handler back after a stop that never
// came (an orphaned process group ignores it).
void restore_on_suspend(void (*give_back)(), void (*take_back)());
void restore_arm_suspend();

// Tests: the break, as if the operator had pressed Ctrl-C (Windows;
// nothing on POSIX, where a test raises a real signal).
void restore_break_now();
