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

// Call straight after the failing call: anything in between may change
// errno. A failure never reads as success, even without an errno.
DeviceError errno_error() { return errno != 0 ? errno : EIO; }

DeviceError handle_fd(DeviceHandle handle, int* fd) {
    if (handle <= 0 || handle > INT_MAX) {
        return EBADF;
    }
    *fd = static_cast<int>(handle);
    return 0;
}

// Slot value 0 means "never opened", so the device must not sit on fd 0.
DeviceError move_off_fd_zero(int* fd) {
    if (*fd != 0) {
        return 0;
    }
    const int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 1);
    const DeviceError error = moved < 0 ? errno_error() : 0;
    close(*fd);
    *fd = moved;
    return error;
}

// Takes why the open failed, then gives back what it had taken.
DeviceError abandon_open(int fd, bool tty_exclusive) {
    const DeviceError error = errno_error();
    if (tty_exclusive) {
        (void)ioctl(fd, TIOCNXCL);
    }
    (void)flock(fd, LOCK_UN);
    close(fd);
    return error;
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

// Blocks until the device takes bytes again. An error when it failed, or the
// watch gave the write up. A wake handle that stirs without ending the write
// is left out for one slice, so a readable terminal cannot make this spin.
DeviceError wait_for_room(int fd, const WriteWatch* watch) {
    const uint32_t stalled_since = system_clock.tick_ms();
    bool heed_wake = true;
    for (;;) {
        pollfd fds[1 + WAKE_HANDLES_MAX];
        const nfds_t count = watch_set(fd, POLLOUT, watch != nullptr && heed_wake ? &watch->wake : nullptr, fds);
        const int ready = poll(fds, count, watch != nullptr ? static_cast<int>(WRITE_WATCH_SLICE_MS) : -1);
        if (poll_failed(ready)) return errno_error();
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return EIO;
        if ((fds[0].revents & POLLOUT) != 0) return 0;
        if (ready < 0 || watch == nullptr) continue;
        const uint32_t stalled = system_clock.tick_ms() - stalled_since;
        if (!watch->keep_waiting(watch->context, stalled)) return ECANCELED;
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

DeviceError device_open(const char* path, DeviceHandle* handle) {
    *handle = INVALID_DEVICE;
    if (path == nullptr || path[0] == '\0') {
        return ENOENT;
    }
    // Non-blocking, so that an open never waits for carrier and a read takes
    // what has arrived without waiting; writes wait for room in poll().
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno_error();
    }
    if (const DeviceError error = move_off_fd_zero(&fd)) {
        return error;
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
    *handle = fd;
    return 0;
}

DeviceError device_close(DeviceHandle handle) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    low_latency_give_back(fd);
    (void)ioctl(fd, TIOCNXCL);
    (void)flock(fd, LOCK_UN);
    return close(fd) == 0 ? 0 : errno_error();
}

DeviceError device_read_settings(DeviceHandle handle, LineSettings* settings) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    if (settings == nullptr) {
        return EINVAL;
    }
    return termios_read_line(fd, settings) ? 0 : errno_error();
}

DeviceError device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    if (settings == nullptr) {
        return EINVAL;
    }
    return termios_apply_line(fd, *settings) ? 0 : errno_error();
}

DeviceError device_has_modem_lines(DeviceHandle handle) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    int lines = 0;
    return ioctl(fd, TIOCMGET, &lines) == 0 ? 0 : errno_error();
}

DeviceError device_set_modem_line(DeviceHandle handle, ModemLine line, bool on) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    int bits = line == MODEM_DTR ? TIOCM_DTR : TIOCM_RTS;
    return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno_error();
}

bool device_is_named(DeviceHandle handle, const char* path) {
    int fd = -1;
    struct stat held{}, named{};
    // stat() follows links: a link whose device went names nothing.
    return handle_fd(handle, &fd) == 0 && fstat(fd, &held) == 0 && stat(path, &named) == 0 &&
           S_ISCHR(named.st_mode) && named.st_rdev == held.st_rdev;
}

DeviceError device_health(DeviceHandle handle) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return errno_error();
    }
    struct pollfd watch = {fd, POLLIN, 0};
    if (poll(&watch, 1, 0) < 0) {
        return errno_error();
    }
    if ((watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return EIO;
    }
    return 0;
}

DeviceError device_write(DeviceHandle handle, const void* data, uint32_t count, const WriteWatch* watch) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
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
            if (const DeviceError error = wait_for_room(fd, watch)) {
                return error;
            }
        } else {
            return written < 0 ? errno_error() : EIO;
        }
    }
    return 0;
}

DeviceError device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    ssize_t count = 0;
    do {
        count = read(fd, buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        *got = static_cast<uint32_t>(count);
        return 0;
    }
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return 0;  // nothing has arrived
    }
    // A terminal reads as ended (0) or fails (EIO) once the line hung up.
    return count < 0 ? errno_error() : EIO;
}

DeviceError device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue) {
    int fd = -1;
    if (const DeviceError error = handle_fd(handle, &fd)) {
        return error;
    }
    int received = 0;
    int unsent = 0;
    if (ioctl(fd, FIONREAD, &received) != 0 || ioctl(fd, TIOCOUTQ, &unsent) != 0) {
        return errno_error();
    }
    *in_queue = received > 0 ? static_cast<uint32_t>(received) : 0;
    *out_queue = unsent > 0 ? static_cast<uint32_t>(unsent) : 0;
    return 0;
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
    if (handle_fd(handle, &fd) == 0) {
        (void)tcflush(fd, TCOFLUSH);
    }
}

void device_describe_hold(DeviceHandle handle, char* out, size_t size) {
    int fd = -1;
    struct termios tio;
    if (handle_fd(handle, &fd) != 0 || tcgetattr(fd, &tio) != 0) {
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
    if (handle_fd(handle, &fd) != 0 || tcgetattr(fd, &tio) != 0) {
        snprintf(out, size, "unknown");
        return;
    }
    snprintf(out, size, "crtscts %s, clocal %s, hupcl %s", termios_hardware_flow(tio) ? "on" : "off",
             (tio.c_cflag & CLOCAL) != 0 ? "on" : "off", (tio.c_cflag & HUPCL) != 0 ? "on" : "off");
}
