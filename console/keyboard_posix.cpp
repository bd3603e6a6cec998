// POSIX keyboard: the controlling terminal, switched to non-canonical input
// without echo so a single key press is visible at once. ISIG stays on, so
// Ctrl-C still ends the process; the original settings come back on exit.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "keyboard.h"

namespace {

int tty_fd = -1;
bool tty_tried = false;
bool tty_modified = false;
struct termios tty_original;

void restore_on_signal(int signo) {
    keyboard_restore();
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

void install_restore_handlers() {
    std::atexit(keyboard_restore);
    const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    for (int signo : signals) {
        struct sigaction action{};
        action.sa_handler = restore_on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(signo, &action, nullptr);
    }
}

// Only the foreground job owns the keyboard; a background fwld must not
// change the terminal (it would be stopped by SIGTTOU) nor steal keys.
bool in_foreground(int fd) { return tcgetpgrp(fd) == getpgrp(); }

void open_terminal() {
    tty_tried = true;
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    if (!in_foreground(fd) || tcgetattr(fd, &tty_original) != 0) {
        close(fd);
        return;
    }
    struct termios keys = tty_original;
    keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    install_restore_handlers();
    tty_fd = fd;
    if (tcsetattr(fd, TCSANOW, &keys) == 0) tty_modified = true;
}

}  // namespace

bool keyboard_key_pending() {
    if (!tty_tried) open_terminal();
    if (tty_fd < 0) return false;
    int pending = 0;
    if (ioctl(tty_fd, FIONREAD, &pending) != 0) return false;
    return pending > 0;
}

intptr_t keyboard_wait_handle() {
    if (!tty_tried) open_terminal();
    return tty_fd;
}

void keyboard_restore() {
    if (tty_fd < 0) return;
    // Async-signal-safe calls only: this also runs from signal handlers.
    tcflush(tty_fd, TCIFLUSH);
    if (tty_modified) tcsetattr(tty_fd, TCSANOW, &tty_original);
    tty_modified = false;
}
