// Console streams on Windows. Binary mode, so every message reaches the
// console or a log byte for byte, line feeds without added carriage returns.
// Standard error is fully buffered (the C runtime would otherwise write an
// unbuffered stream to a pipe one character per call) and flushed before
// anything that can block: serial writes, waits and sleeps, and the exit.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "console.h"

namespace {

char error_buffer[4096];

// Ctrl-C and Ctrl-Break end the run with the status Windows gives a program
// ended that way, never 0 (which a script would take for success), through
// the normal exit, so that the console gets everything said so far and the
// exit handlers (the traffic trace's last lines) run.
BOOL WINAPI end_on_break(DWORD) {
    std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

}  // namespace

void console_prepare_streams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
    SetConsoleCtrlHandler(end_on_break, TRUE);
}
