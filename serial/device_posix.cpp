// Serial device on POSIX terminals: the descriptor, its I/O and its waits.
// The handle is the file descriptor; the line record's termios side is
// termios_posix.cpp.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>

#include "clock.h"
#include "device.h"
#include "low_latency.h"
#include "termios_posix.h"

namespace {

long last_error = 0;

bool fail(int error) {
    last_error = error;
    return false;
}

// Call straight after the failing call: anything in between may change errno.
bool fail_errno() { return fail(errno); }

bool handle_fd(DeviceHandle handle, int* fd) {
    if (handle <= 0 || handle > INT_MAX) {
        return fail(EBADF);
    }
    *fd = static_cast<int>(handle);
    return true;
}

// Slot value 0 means "never opened", so the device must not sit on fd 0.
int off_fd_zero(int fd) {
    if (fd != 0) {
        return fd;
    }
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    if (moved < 0) {
        fail_errno();
    }
    close(fd);
    return moved;
}

// Records why the open failed, then gives back what it had taken.
DeviceHandle abandon_open(int fd, bool tty_exclusive) {
    fail_errno();
    if (tty_exclusive) {
        (void)ioctl(fd, TIOCNXCL);
    }
    (void)flock(fd, LOCK_UN);
    close(fd);
    return INVALID_DEVICE;
}

// The device and, while watched, the wake handles. Returns how many.
nfds_t watch_set(int fd, short device_events, const WakeSet* wake, pollfd* fds) {
    fds[0] = pollfd{fd, device_events, 0};
    nfds_t count = 1;
    for (int i = 0; wake != nullptr && i < wake->count; ++i) {
        fds[count++] = pollfd{static_cast<int>(wake->handles[i]), POLLIN, 0};
    }
    return count;
}

bool poll_failed(int ready) { return ready < 0 && errno != EINTR; }

// Blocks until the device takes bytes again. False when it failed, or the
// watch gave the write up. A wake handle that stirs without ending the write
// is left out for one slice, so a readable terminal cannot make this spin.
bool wait_for_room(int fd, const WriteWatch* watch) {
    const uint32_t stalled_since = system_clock.tick_ms();
    bool heed_wake = true;
    for (;;) {
        pollfd fds[1 + WAKE_HANDLES_MAX];
        const nfds_t count = watch_set(fd, POLLOUT, watch != nullptr && heed_wake ? &watch->wake : nullptr, fds);
        const int ready = poll(fds, count, watch != nullptr ? static_cast<int>(WRITE_WATCH_SLICE_MS) : -1);
        if (poll_failed(ready)) return fail_errno();
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return fail(EIO);
        if ((fds[0].revents & POLLOUT) != 0) return true;
        if (ready < 0 || watch == nullptr) continue;
        const uint32_t stalled = system_clock.tick_ms() - stalled_since;
        if (!watch->keep_waiting(watch->context, stalled)) return fail(ECANCELED);
        heed_wake = ready == 0;
    }
}

}  // namespace

void device_default_path(int port, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    out[0] = '\0';
    if (port < 1) {
        return;
    }
    int length = snprintf(out, size, "/dev/ttyS%d", port - 1);
    if (length < 0 || static_cast<size_t>(length) >= size) {
        out[0] = '\0';  // a cut-off name would name another device
    }
}

DeviceHandle device_open(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        fail(ENOENT);
        return INVALID_DEVICE;
    }
    // Non-blocking, so that an open never waits for carrier and a read takes
    // what has arrived without waiting; writes wait for room in poll().
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fail_errno();
        return INVALID_DEVICE;
    }
    fd = off_fd_zero(fd);
    if (fd < 0) {
        return INVALID_DEVICE;
    }
    // The lock also keeps out privileged users, whom TIOCEXCL lets through.
    // Its "would block" means another program holds the port: say busy.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) errno = EBUSY;
        return abandon_open(fd, false);
    }
    bool tty_exclusive = ioctl(fd, TIOCEXCL) == 0;
    if (!tty_exclusive && errno != ENOTTY) {
        return abandon_open(fd, false);
    }
    low_latency_take(fd);
    return fd;
}

bool device_close(DeviceHandle handle) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    low_latency_give_back(fd);
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    if (close(fd) != 0) {
        return fail_errno();
    }
    return true;
}

long device_last_error() { return last_error; }

void device_clear_error() { last_error = 0; }

void device_set_error(long error) { last_error = error; }

bool device_read_settings(DeviceHandle handle, LineSettings* settings) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    if (settings == nullptr) {
        return fail(EINVAL);
    }
    return termios_read_line(fd, settings) || fail_errno();
}

bool device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    if (settings == nullptr) {
        return fail(EINVAL);
    }
    return termios_apply_line(fd, *settings) || fail_errno();
}

bool device_has_modem_lines(DeviceHandle handle) {
    int fd = -1;
    int lines = 0;
    return handle_fd(handle, &fd) && (ioctl(fd, TIOCMGET, &lines) == 0 || fail_errno());
}

bool device_set_modem_line(DeviceHandle handle, ModemLine line, bool on) {
    int fd = -1;
    int bits = line == MODEM_DTR ? TIOCM_DTR : TIOCM_RTS;
    return handle_fd(handle, &fd) && (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 || fail_errno());
}

bool device_is_named(DeviceHandle handle, const char* path) {
    int fd = -1;
    struct stat held{}, named{};
    // stat() follows links: a link whose device went names nothing.
    return handle_fd(handle, &fd) && fstat(fd, &held) == 0 && stat(path, &named) == 0 &&
           S_ISCHR(named.st_mode) && named.st_rdev == held.st_rdev;
}

bool device_is_healthy(DeviceHandle handle) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return fail_errno();
    }
    struct pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, 0) < 0) {
        return fail_errno();
    }
    if ((watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return fail(EIO);
    }
    return true;
}

bool device_write(DeviceHandle handle, const void* data, uint32_t count, const WriteWatch* watch) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    const auto* next = static_cast<const unsigned char*>(data);
    size_t left = count;
    while (left > 0) {
        ssize_t written = write(fd, next, left);
        if (written > 0) {
            next += written;
            left -= static_cast<size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_for_room(fd, watch)) {
                return false;
            }
        } else {
            return written < 0 ? fail_errno() : fail(EIO);
        }
    }
    return true;
}

bool device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    ssize_t count = 0;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        *got = static_cast<uint32_t>(count);
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return true;  // nothing has arrived
    }
    // A terminal reads as ended (0) or fails (EIO) once the line hung up.
    return count < 0 ? fail_errno() : fail(EIO);
}

bool device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    int received = 0;
    int unsent = 0;
    if (ioctl(fd, FIONREAD, &received) != 0 || ioctl(fd, TIOCOUTQ, &unsent) != 0) {
        return fail_errno();
    }
    *in_queue = received > 0 ? static_cast<uint32_t>(received) : 0;
    *out_queue = unsent > 0 ? static_cast<uint32_t>(unsent) : 0;
    return true;
}

WaitResult device_wait_input(DeviceHandle handle, const WakeSet& wake, uint32_t ms) {
    // No device (0, INVALID_DEVICE): poll() skips a negative fd, and only the
    // wake set and the time are left.
    const int fd = handle > 0 && handle <= INT_MAX ? static_cast<int>(handle) : -1;
    pollfd fds[1 + WAKE_HANDLES_MAX];
    const nfds_t count = watch_set(fd, POLLIN, &wake, fds);
    const int timeout = ms > 60000u ? 60000 : static_cast<int>(ms);
    if (poll(fds, count, timeout) <= 0) {
        return WAIT_TIMED_OUT;  // or a signal: the caller looks again
    }
    if (fds[0].revents != 0) {
        return WAIT_DEVICE;  // a byte, or a hang-up that the next read reports
    }
    return WAIT_WOKEN;
}

void device_discard_output(DeviceHandle handle) {
    int fd = -1;
    if (handle_fd(handle, &fd)) {
        (void)tcflush(fd, TCOFLUSH);
    }
}

void device_describe_hold(DeviceHandle handle, char* out, size_t size) {
    int fd = -1;
    struct termios tio;
    if (!handle_fd(handle, &fd) || tcgetattr(fd, &tio) != 0) {
        snprintf(out, size, "the device does not answer");
        return;
    }
    int lines = 0;
    const bool modem = ioctl(fd, TIOCMGET, &lines) == 0;
    if (termios_hardware_flow(tio)) {
        snprintf(out, size, "hardware flow control (CRTSCTS) is on%s", modem && (lines & TIOCM_CTS) == 0
                                                                            ? " and the target holds CTS low"
                                                                            : "");
        return;
    }
    int unsent = 0;
    if (ioctl(fd, TIOCOUTQ, &unsent) == 0 && unsent > 0) {
        snprintf(out, size, "CRTSCTS is off; the output queue is full (%d bytes not sent): the adapter or the target "
                 "takes nothing",
                 unsent);
        return;
    }
    snprintf(out, size, "CRTSCTS is off; the device takes nothing");
}

void device_describe_flow(DeviceHandle handle, char* out, size_t size) {
    int fd = -1;
    struct termios tio;
    if (!handle_fd(handle, &fd) || tcgetattr(fd, &tio) != 0) {
        snprintf(out, size, "unknown");
        return;
    }
    snprintf(out, size, "crtscts %s, clocal %s, hupcl %s", termios_hardware_flow(tio) ? "on" : "off",
             (tio.c_cflag & CLOCAL) != 0 ? "on" : "off", (tio.c_cflag & HUPCL) != 0 ? "on" : "off");
}
