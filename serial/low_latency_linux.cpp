// TIOCGSERIAL / TIOCSSERIAL and the ASYNC_LOW_LATENCY flag.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <csignal>

#include "low_latency.h"

namespace {

// One port is in use at a time; a re-open gives the old descriptor's
// setting back before it takes the new one's. Only a flag that was off is
// ever changed, so giving back means clearing it.
volatile sig_atomic_t changed_fd = -1;

}  // namespace

void low_latency_take(int fd) {
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // no serial driver behind it
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;  // already so: nothing to give back
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
    changed_fd = fd;
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

void low_latency_give_back_all() { low_latency_give_back(changed_fd); }
