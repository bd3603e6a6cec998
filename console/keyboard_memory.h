// The scripted keyboard of test and fuzz binaries, linked in place of the
// platform's keyboard file: no key until the script presses one.
#pragma once
#include <cstdint>

// No key pending, no press scheduled, counts zero.
void keyboard_memory_reset();
// A key is pending from now on (it is never consumed, like a real one).
void keyboard_memory_press();
// The key becomes pending at the given poll, counted from now (1: the next).
void keyboard_memory_press_at_poll(uint32_t poll);
// How often fwld has asked for a key, and restored the terminal.
uint32_t keyboard_memory_polls();
uint32_t keyboard_memory_restores();
