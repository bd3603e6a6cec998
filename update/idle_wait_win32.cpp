// Win32 idle wait. Received bytes raise no event that can be waited on
// without a helper thread (and Wine emulates that by polling), so the wait
// blocks on the console input handle, which a key press wakes at once, in
// short slices while the target talks and longer ones once the line has
// been quiet, taking what the device has received between slices.
#include <cstdio>

#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "keyboard.h"
#include "port.h"
#include "win32_api.h"

namespace {

constexpr uint32_t TALKING_SLICE_MS = 1;
constexpr uint32_t QUIET_SLICE_MS = 50;
constexpr uint32_t QUIET_AFTER_MS = 200;

uint32_t last_input_at = 0;

uint32_t slice_for(uint32_t now, uint32_t left) {
    const uint32_t slice = now - last_input_at < QUIET_AFTER_MS ? TALKING_SLICE_MS : QUIET_SLICE_MS;
    return slice < left ? slice : left;
}

// True when a key (or another console event) ended the slice early.
bool block_for(HANDLE keyboard, uint32_t ms) {
    if (keyboard == INVALID_HANDLE_VALUE) {
        clock_sleep_ms(ms);
        return false;
    }
    return WaitForSingleObject(keyboard, ms) == WAIT_OBJECT_0;
}

}  // namespace

void idle_wait(int port, WatchKeys keys, uint32_t max_ms) {
    if (port_input_count(port) != 0) return;  // taken in already, not yet handled
    std::fflush(stderr);  // everything said so far is on the console before we block
    HANDLE keyboard = INVALID_HANDLE_VALUE;
    if (keys == WAKE_ON_KEY) keyboard = reinterpret_cast<HANDLE>(keyboard_wait_handle());
    const uint32_t start = clock_tick_ms();
    for (;;) {
        const uint32_t now = clock_tick_ms();
        if (port_receive(port) != 0) {
            last_input_at = now;
            return;
        }
        const uint32_t waited = now - start;
        if (waited >= max_ms) {
            port_note_quiet(port);
            return;
        }
        if (block_for(keyboard, slice_for(now, max_ms - waited))) {
            key_input_noticed();
            return;
        }
    }
}
