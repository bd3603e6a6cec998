// Ctrl-C and Ctrl-Break on Windows. The handler, which the system calls on a
// thread of its own, only sets an event; the run notices it in its waits and
// ends on its own thread through the normal exit, with the status Windows
// gives a program ended that way.
#pragma once
#include <windows.h>

// Signalled once Ctrl-C or Ctrl-Break was pressed; NULL before
// restore_install. end_if_broken (console.h) ends the run when it is.
HANDLE break_event();
