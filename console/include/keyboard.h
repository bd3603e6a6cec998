// Platform seam of the keyboard: "is a key press pending?" without consuming
// it, what a wait can block on until one comes, and the terminal put back as
// it was on every way out of the process.
#pragma once
#include <cstddef>
#include <cstdint>

// Opens the console input on first use. False when there is none.
bool keyboard_key_pending();
// What a wait also blocks on, as platform handles, written to out (room for
// KEYBOARD_WAKE_MAX): the keyboard itself when with_keys, and always what
// an ending signal or the break wakes (restore_wake_handle). Returns how
// many.
constexpr int KEYBOARD_WAKE_MAX = 2;
int keyboard_wake_handles(bool with_keys, intptr_t* out);
// Puts the terminal back and drops a pending key so it does not reach the
// shell. Safe to call more than once; registered as a restore step.
void keyboard_restore();

// For fwld-gang, which acts on every key itself: Ctrl-Z is a key like any
// other there, since a stopped fwld-gang would stall every update. Before
// the first use of the keyboard.
void keyboard_ctrl_z_is_a_key();
// The pending key presses taken out of the input, so that none is left for
// the shell, as portable codes, oldest first: a character is its byte, the
// arrows and every other key without a character are these. Returns how
// many (at most `max`), or KEYBOARD_GONE when the keyboard has gone (a
// terminal that hung up), after which no wait includes it.
constexpr int KEY_CODE_UP = 0x101;
constexpr int KEY_CODE_DOWN = 0x102;
constexpr int KEY_CODE_OTHER = 0x1ff;
constexpr int KEYBOARD_GONE = -1;
int keyboard_take_key_codes(int* codes, int max);

// A terminal's bytes as key codes: ESC [ A and ESC O A are up, B down;
// any other escape sequence, and Escape alone, one KEY_CODE_OTHER. Returns
// how many (at most `max`).
int key_codes_of_bytes(const unsigned char* bytes, size_t count, int* codes, int max);
