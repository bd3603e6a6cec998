// The idle wait over a real device: one blocking wait on the port, the
// keyboard (when asked) and, on Windows, the break, until the first of them
// or the time. What the port has when the wait wakes is taken in one read.
#include "console.h"
#include "idle_wait.h"
#include "keyboard.h"
#include "port.h"

namespace {

// A key, or the break: the loop's key test sees either at once.
void woken() { key_input_noticed(); }

}  // namespace

void idle_wait(int port, WatchKeys keys, uint32_t max_ms) {
    if (port_input_count(port) != 0) return;  // taken in already, not yet handled
    WakeSet wake{};
    wake.count = keyboard_wake_handles(keys == WAKE_ON_KEY, wake.handles);
    const WaitResult result = port_wait_input(port, wake, max_ms);
    if (result == WAIT_WOKEN) {
        woken();
        return;
    }
    if (result == WAIT_DEVICE && port_receive(port) > 0) return;
    // Nothing came: the line was quiet for the whole wait, or it hung up.
    port_doubt_health(port);
    if (result == WAIT_DEVICE) {
        // A hung-up device reports itself at once, every time, and reads
        // nothing: sleep the retry pace instead of spinning, still waking
        // for a key.
        const uint32_t pause = max_ms < REOPEN_RETRY_MS ? max_ms : REOPEN_RETRY_MS;
        if (port_wait_input(NO_PORT, wake, pause) == WAIT_WOKEN) woken();
    }
}
