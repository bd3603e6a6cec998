// What a wait on the line can also end on, and what ended it.
#pragma once
#include <cstdint>

// Things besides the device that end a wait, as platform handles (POSIX
// file descriptors that become readable, Win32 handles that become
// signalled): the keyboard, and on Windows the break event.
constexpr int WAKE_HANDLES_MAX = 2;
struct WakeSet {
    intptr_t handles[WAKE_HANDLES_MAX];
    int count;
};

enum WaitResult : uint8_t { WAIT_TIMED_OUT, WAIT_DEVICE, WAIT_WOKEN };
