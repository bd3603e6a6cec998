// TIOCGSERIAL / TIOCSSERIAL and the ASYNC_LOW_LATENCY flag.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <csignal>
#include <cstdlib>
#include <iterator>

#include "low_latency.h"

namespace {

// One port is in use at a time; a re-open gives the old descriptor's
// setting back before it takes the new one's. Only a flag that was off is
// ever changed, so giving back means clearing it.
volatile sig_atomic_t changed_fd = -1;

// Every way out gives the setting back: the port's close, the exit (a
// fatal stop may leave the port to the exit), and the signals that end the
// run, which then go on to whoever handled them before.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previous_actions[std::size(ENDING_SIGNALS)];

void give_back_at_exit() { low_latency_give_back(changed_fd); }

void give_back_on_signal(int signo) {
    low_latency_give_back(changed_fd);
    for (size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
        if (ENDING_SIGNALS[i] == signo) sigaction(signo, &previous_actions[i], nullptr);
    }
    raise(signo);
}

void give_back_on_every_way_out() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    std::atexit(give_back_at_exit);
    struct sigaction action{};
    action.sa_handler = give_back_on_signal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(ENDING_SIGNALS); ++i) {
        sigaction(ENDING_SIGNALS[i], &action, &previous_actions[i]);
    }
}

}  // namespace

void low_latency_take(int fd) {
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // no serial driver behind it
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;  // already so: nothing to give back
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
    changed_fd = fd;
    give_back_on_every_way_out();
}

void low_latency_give_back(int fd) {
    if (fd < 0 || changed_fd != fd) return;
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
    changed_fd = -1;
}
