// The console on Windows, readied for the run:
// - binary streams, so every message reaches the console or a log byte for
//   byte, line feeds without added carriage returns;
// - standard error fully buffered (the C runtime would otherwise write an
//   unbuffered stream to a pipe one character per call) and flushed before
//   anything that can block: serial writes, waits and sleeps, and the exit;
// - QuickEdit off: in a classic console window a click starts a selection
//   that holds every write to the console, and with it the transfer;
// - a 1 ms timer period, so that sleeps and waits end when they should and
//   not at the next 15.6 ms tick.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <mmsystem.h>

#include <cstdio>

#include "console.h"
#include "restore.h"

namespace {

char error_buffer[4096];
HANDLE console_in = INVALID_HANDLE_VALUE;
DWORD original_mode = 0;

void restore_console_mode() {
    // QuickEdit is only changed together with the extended flags.
    if (console_in != INVALID_HANDLE_VALUE) SetConsoleMode(console_in, original_mode | ENABLE_EXTENDED_FLAGS);
}

void quick_edit_off() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;  // no console: nothing to select
    console_in = in;
    original_mode = mode;
    restore_register_urgent(restore_console_mode);
    SetConsoleMode(in, (mode | ENABLE_EXTENDED_FLAGS) & ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE));
}

}  // namespace

void console_prepare() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::setvbuf(stderr, error_buffer, _IOFBF, sizeof error_buffer);
    quick_edit_off();
    // Ends with the process.
    timeBeginPeriod(1);
}
