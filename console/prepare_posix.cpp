// The console on POSIX: already byte-exact. What needs preparing is a
// console that goes away: a log pipe whose reader was killed must not end an
// update half-way through a record, so writes to it fail quietly instead of
// raising SIGPIPE, and the run carries on to its own end.
#include <csignal>

#include "console.h"

void console_prepare() { std::signal(SIGPIPE, SIG_IGN); }
