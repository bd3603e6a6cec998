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

bool latency_flags_take(int* flags) {
    if ((*flags & ASYNC_LOW_LATENCY) != 0) return false;  // already so: nothing to give back
    *flags |= ASYNC_LOW_LATENCY;
    return true;
}

void latency_flags_give_back(int* flags) { *flags &= ~ASYNC_LOW_LATENCY; }

void low_latency_take(int fd) {
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;  // no serial driver behind it
    if (!latency_flags_take(&serial.flags)) return;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return;
    changed_fd = fd;
}

void low_latency_give_back(int fd) {
    if (fd < 0 || changed_fd != fd) return;
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        latency_flags_give_back(&serial.flags);
        (void)ioctl(fd, TIOCSSERIAL, &serial);
    }
    changed_fd = -1;
}

void low_latency_give_back_all() { low_latency_give_back(changed_fd); }
