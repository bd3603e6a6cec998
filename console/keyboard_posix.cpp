// POSIX keyboard: the controlling terminal, switched to non-canonical input
// without echo so a single key press is visible at once. ISIG stays on, so
// Ctrl-C still ends the process; the original settings come back on every
// way out (a restore step).
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "keyboard.h"
#include "restore.h"

namespace {

// The signal handlers read these two.
volatile sig_atomic_t tty_fd = -1;
bool tty_tried = false;
volatile sig_atomic_t tty_modified = 0;
struct termios tty_original;
struct termios tty_keys;
// Set when Ctrl-Z handed the terminal back; the stop may never come (an
// orphaned process group ignores it), so the next poll takes it again.
volatile sig_atomic_t keys_given_back = 0;
bool ctrl_z_is_a_key = false;

// Only the foreground job owns the keyboard; a background fwld must not
// change the terminal (it would be stopped by SIGTTOU) nor steal keys.
bool in_foreground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

// Ctrl-Z: the terminal back as it was before the stop. From a signal
// handler: async-signal-safe calls only.
void give_keys_back() {
    if (tty_modified) tcsetattr(tty_fd, TCSANOW, &tty_original);
    keys_given_back = 1;
}

// After the stop, or after one that never came: the keyboard again, when in
// the foreground.
void take_keys_back() {
    if (tty_modified && in_foreground(tty_fd)) tcsetattr(tty_fd, TCSANOW, &tty_keys);
    keys_given_back = 0;
}

void install_restore_handlers() {
    restore_register_urgent(keyboard_restore);
    if (!ctrl_z_is_a_key) restore_on_suspend(give_keys_back, take_keys_back);
}

void open_terminal() {
    tty_tried = true;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (!in_foreground(fd) || tcgetattr(fd, &tty_original) != 0) {
        close(fd);
        return;
    }
    tty_keys = tty_original;
    tty_keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    tty_keys.c_cc[VMIN] = 1;
    tty_keys.c_cc[VTIME] = 0;
    if (ctrl_z_is_a_key) tty_keys.c_cc[VSUSP] = _POSIX_VDISABLE;
    install_restore_handlers();
    tty_fd = fd;
    // Marked before the change: a Ctrl-C delivered as tcsetattr returns must
    // still find something to put back.
    tty_modified = 1;
    if (tcsetattr(fd, TCSANOW, &tty_keys) != 0) tty_modified = 0;
}

}  // namespace

bool keyboard_key_pending() {
    if (!tty_tried) open_terminal();
    if (tty_fd < 0) return false;
    if (keys_given_back) {
        restore_arm_suspend();
        take_keys_back();
    }
    int pending = 0;
    if (ioctl(tty_fd, FIONREAD, &pending) != 0) return false;
    return pending > 0;
}

int keyboard_wake_handles(bool with_keys, intptr_t* out) {
    int count = 0;
    // An ending signal ends every wait, a wait for keys or not.
    if (restore_wake_handle() != 0) out[count++] = restore_wake_handle();
    if (!with_keys) return count;
    if (!tty_tried) open_terminal();
    if (tty_fd >= 0) out[count++] = tty_fd;
    return count;
}

void keyboard_restore() {
    if (tty_fd < 0) return;
    // Async-signal-safe calls only: this also runs from signal handlers.
    tcflush(tty_fd, TCIFLUSH);
    if (tty_modified) tcsetattr(tty_fd, TCSANOW, &tty_original);
    tty_modified = 0;
}

void keyboard_ctrl_z_is_a_key() { ctrl_z_is_a_key = true; }

int keyboard_take_key_codes(int* codes, int max) {
    if (!tty_tried) open_terminal();
    if (tty_fd < 0) return KEYBOARD_GONE;
    int pending = 0;
    if (ioctl(tty_fd, FIONREAD, &pending) == 0 && pending > 0) {
        unsigned char keys[256];
        int count = 0;
        while (pending > 0) {
            const ssize_t got = read(tty_fd, keys, pending < 256 ? static_cast<size_t>(pending) : sizeof keys);
            if (got <= 0) break;
            pending -= static_cast<int>(got);
            count += key_codes_of_bytes(keys, static_cast<size_t>(got), codes + count, max - count);
        }
        return count;
    }
    // Readable with nothing to read: the terminal has hung up.
    pollfd look{tty_fd, POLLIN, 0};
    if (poll(&look, 1, 0) <= 0 || (look.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return 0;
    close(tty_fd);
    tty_fd = -1;
    tty_modified = 0;
    return KEYBOARD_GONE;
}
