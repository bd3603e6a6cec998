// Idle wait of test and fuzz binaries: nothing to block on, so the wait lets
// the time pass on the installed clock (a test clock moves at once) unless
// a byte or a key is already there.
#include "clock.h"
#include "device_memory.h"
#include "idle_wait.h"
#include "keyboard.h"

void idle_wait(int, WatchKeys keys, uint32_t max_ms) {
    if (memory_device_input_waiting() != 0 && memory_device_present()) return;
    if (keys == WAKE_ON_KEY && keyboard_key_pending()) return;
    clock_sleep_ms(max_ms);
}
