// Keyboard for test and fuzz binaries: a pending key only when the script
// says so, nothing to wait on, no terminal to restore.
#include "console.h"
#include "keyboard.h"
#include "keyboard_memory.h"

namespace {

bool pressed = false;
uint32_t press_at = 0;  // poll number that presses the key; 0: none scheduled
uint32_t polls = 0;
uint32_t restores = 0;

}  // namespace

// A key that comes (or a keyboard that starts afresh) is looked at by the
// next key_waiting, as a real key wakes the idle wait.
void keyboard_memory_reset() {
    pressed = false;
    press_at = 0;
    polls = 0;
    restores = 0;
    key_input_noticed();
}

void keyboard_memory_press() {
    pressed = true;
    key_input_noticed();
}

void keyboard_memory_press_at_poll(uint32_t poll) { press_at = poll == 0 ? 0 : polls + poll; }

uint32_t keyboard_memory_polls() { return polls; }
uint32_t keyboard_memory_restores() { return restores; }

bool keyboard_key_pending() {
    ++polls;
    if (press_at != 0 && polls >= press_at) pressed = true;
    return pressed;
}

int keyboard_wake_handles(bool, intptr_t*) { return 0; }

void keyboard_restore() { ++restores; }

void keyboard_ctrl_z_is_a_key() {}

int keyboard_take_key_codes(int* codes, int max) {
    if (!keyboard_key_pending() || max < 1) return 0;
    pressed = false;
    codes[0] = ' ';
    return 1;
}
