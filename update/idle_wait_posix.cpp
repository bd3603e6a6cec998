// POSIX idle wait: poll() on the serial device and the terminal. What the
// device has when poll() wakes is taken in one read, so that a waiting byte
// costs one wait and one read.
#include <poll.h>

#include "console.h"
#include "idle_wait.h"
#include "keyboard.h"
#include "port.h"

namespace {

int port_fd(int port) {
    const PortSlot* slot = port_slot(port);
    if (slot == nullptr || slot->handle <= 0) return -1;
    return static_cast<int>(slot->handle);
}

int to_poll_timeout(uint32_t ms) { return ms > 60000u ? 60000 : static_cast<int>(ms); }

}  // namespace

void idle_wait(int port, WatchKeys keys, uint32_t max_ms) {
    if (port_input_count(port) != 0) return;  // taken in already, not yet handled
    pollfd fds[2] = {{port_fd(port), POLLIN, 0}, {-1, POLLIN, 0}};
    if (keys == WAKE_ON_KEY) fds[1].fd = static_cast<int>(keyboard_wait_handle());
    const int ready = poll(fds, 2, to_poll_timeout(max_ms));
    if (ready < 0) return;  // a signal: the caller looks again
    if (fds[1].revents != 0) key_input_noticed();
    if ((fds[0].revents & POLLIN) != 0 && port_receive(port) > 0) return;
    // Nothing came: the line was quiet for the whole wait, or it hung up.
    port_note_quiet(port);
    if (fds[0].revents != 0 && fds[1].revents == 0) {
        // A hung-up device reports itself at once, every time, and reads
        // nothing: sleep the retry pace instead of spinning, still waking
        // for a key.
        fds[0].fd = -1;
        const uint32_t pause = max_ms < REOPEN_RETRY_MS ? max_ms : REOPEN_RETRY_MS;
        poll(fds, 2, to_poll_timeout(pause));
    }
}
