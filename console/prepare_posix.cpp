// The console on POSIX: already byte-exact, with nothing to prepare. (A
// console that goes away, a log pipe whose reader was killed, is the
// signals' part: SIGPIPE is ignored from restore_install on.)
#include "console.h"

void console_prepare() {}
