// How fwld-target ends on Ctrl-C, SIGTERM or SIGHUP: one thread takes them
// and stops the target, so that it still prints its summary.
#pragma once
#include <functional>

// Before any other thread starts: those signals wait, in every thread.
void hold_ending_signals();
// Once the target runs: a thread of its own takes the first of them (one
// that came meanwhile included) and calls `stop`.
void stop_on_ending_signal(std::function<void()> stop);
