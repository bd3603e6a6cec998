// Idle wait of test and fuzz binaries: nothing to block on, so the wait lets
// the time pass on the installed clock (a test clock moves at once) unless
// a byte or a key is already there.
#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "keyboard.h"
#include "port.h"

void idle_wait(int port, WatchKeys keys, uint32_t max_ms) {
    if (port_input_count(port) != 0 || port_receive(port) != 0) return;
    if (keys == WAKE_ON_KEY && keyboard_key_pending()) {
        key_input_noticed();
        return;
    }
    port_doubt_health(port);
    clock_sleep_ms(max_ms);
}
