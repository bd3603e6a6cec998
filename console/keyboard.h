// Platform seam of the keyboard: "is a key press pending?" without consuming
// it, and the terminal put back as it was on every way out of the process.
#pragma once
#include <cstdint>

// Opens the console input on first use. False when there is none.
bool keyboard_key_pending();
// Something the idle wait can block on until a key arrives; -1 when none.
intptr_t keyboard_wait_handle();
// Puts the terminal back and drops a pending key so it does not reach the
// shell. Safe to call more than once; also runs at exit and on signals.
void keyboard_restore();
