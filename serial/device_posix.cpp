// Serial device on POSIX terminals. The handle is the file descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <cstdio>
#include <iterator>

#include "baud.h"
#include "device.h"
#include "low_latency.h"

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

struct RateCode {
    uint32_t rate;
    speed_t code;
};

constexpr RateCode RATE_CODES[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

const RateCode* rate_by_value(uint32_t rate) {
    for (const RateCode& entry : RATE_CODES) {
        if (entry.rate == rate) {
            return &entry;
        }
    }
    return nullptr;
}

uint32_t rate_of_code(speed_t code) {
    for (const RateCode& entry : RATE_CODES) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

constexpr tcflag_t SIZE_CODES[] = {CS5, CS6, CS7, CS8};
constexpr uint8_t SMALLEST_BYTE = 5;

#ifdef CMSPAR
constexpr tcflag_t STICK_PARITY = CMSPAR;
#else
constexpr tcflag_t STICK_PARITY = 0;
#endif
#ifdef CRTSCTS
constexpr tcflag_t HARDWARE_FLOW = CRTSCTS;
#else
constexpr tcflag_t HARDWARE_FLOW = 0;
#endif

constexpr tcflag_t PARITY_BITS = PARENB | PARODD | STICK_PARITY;

// Indexed by the parity code. Mark and space need stick parity; where the
// platform has none their bits are 0 and they are refused.
constexpr tcflag_t PARITY_CODES[] = {
    0,
    PARENB | PARODD,
    PARENB,
    STICK_PARITY != 0 ? PARENB | PARODD | STICK_PARITY : 0,
    STICK_PARITY != 0 ? PARENB | STICK_PARITY : 0,
};
constexpr uint8_t PARITY_CODE_COUNT = sizeof(PARITY_CODES) / sizeof(PARITY_CODES[0]);

// What raw mode switches off: no translation, no echo, no line editing, no
// signal characters, so every byte passes untouched.
constexpr tcflag_t RAW_OFF_INPUT = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL;
constexpr tcflag_t RAW_OFF_OUTPUT = OPOST;
constexpr tcflag_t RAW_OFF_LOCAL = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

// The parts of the record the device must really run with after apply.
constexpr tcflag_t CHECKED_CONTROL = CSIZE | PARITY_BITS | CSTOPB | HARDWARE_FLOW;
constexpr tcflag_t CHECKED_INPUT = INPCK | IXON | IXOFF;

uint8_t flag(tcflag_t bits) { return bits != 0 ? 1 : 0; }

void set_flag(tcflag_t* flags, tcflag_t bits, bool on) {
    if (on) {
        *flags |= bits;
    } else {
        *flags &= ~bits;
    }
}

uint8_t byte_size_of(tcflag_t control) {
    for (uint8_t i = 0; i < std::size(SIZE_CODES); ++i) {
        if ((control & CSIZE) == SIZE_CODES[i]) {
            return static_cast<uint8_t>(SMALLEST_BYTE + i);
        }
    }
    return 8;
}

uint8_t parity_of(tcflag_t control) {
    if ((control & PARENB) == 0) {
        return PARITY_NONE;
    }
    for (uint8_t code = PARITY_ODD; code < PARITY_CODE_COUNT; ++code) {
        if ((control & PARITY_BITS) == PARITY_CODES[code]) {
            return code;
        }
    }
    return PARITY_EVEN;
}

bool is_raw(const struct termios& tio) {
    return (tio.c_iflag & RAW_OFF_INPUT) == 0 && (tio.c_oflag & RAW_OFF_OUTPUT) == 0 &&
           (tio.c_lflag & RAW_OFF_LOCAL) == 0;
}

void make_raw(struct termios* tio) {
    tio->c_iflag &= ~RAW_OFF_INPUT;
    tio->c_oflag &= ~RAW_OFF_OUTPUT;
    tio->c_lflag &= ~RAW_OFF_LOCAL;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

uint8_t rts_raised(int fd) {
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) != 0) {
        return 0;  // no modem lines to ask: treat RTS as off
    }
    return flag(static_cast<tcflag_t>(lines & TIOCM_RTS));
}

void lower_rts(int fd) {
    int lines = TIOCM_RTS;
    // A line without modem control (a pty, say) has no RTS to lower.
    (void)ioctl(fd, TIOCMBIC, &lines);
}

uint32_t rate_in_use(int fd, const struct termios& tio) {
    uint32_t rate = 0;
    if (baud_read_exact(fd, &rate)) {
        return rate;
    }
    return rate_of_code(cfgetospeed(&tio));
}

// Size, parity, stop bits and flags; false when a field has no equivalent.
bool overlay_frame(struct termios* tio, const LineSettings& wanted) {
    if (wanted.ByteSize < SMALLEST_BYTE || wanted.ByteSize > 8) {
        return false;
    }
    if (wanted.Parity >= PARITY_CODE_COUNT ||
        (wanted.Parity != PARITY_NONE && PARITY_CODES[wanted.Parity] == 0)) {
        return false;
    }
    if (wanted.StopBits != STOPBITS_ONE && wanted.StopBits != STOPBITS_TWO) {
        return false;
    }
    // No hardware flow control and no wait for carrier: fwld drives the
    // line itself.
    tio->c_cflag = (tio->c_cflag & ~(CSIZE | PARITY_BITS | HARDWARE_FLOW)) |
                   SIZE_CODES[wanted.ByteSize - SMALLEST_BYTE] | PARITY_CODES[wanted.Parity] |
                   CREAD | CLOCAL;
    set_flag(&tio->c_cflag, CSTOPB, wanted.StopBits == STOPBITS_TWO);
    set_flag(&tio->c_iflag, INPCK, wanted.fParity != 0);
    set_flag(&tio->c_iflag, IXON, wanted.fOutX != 0);
    set_flag(&tio->c_iflag, IXOFF, wanted.fInX != 0);
    if (wanted.fBinary != 0) {
        make_raw(tio);
    }
    return true;
}

// Sets a B-constant rate in the record; other rates are left to
// baud_set_any after the record is applied (*needs_any set).
bool overlay_rate(struct termios* tio, uint32_t rate, bool* needs_any) {
    *needs_any = false;
    if (rate == 0) {
        return fail(EINVAL);  // rate 0 would hang the line up
    }
    const RateCode* entry = rate_by_value(rate);
    if (entry == nullptr) {
        *needs_any = true;
        return baud_any_supported() || fail(EINVAL);
    }
#ifdef CIBAUD
    tio->c_cflag &= ~CIBAUD;  // input rate follows the output rate
#endif
    if (cfsetispeed(tio, entry->code) != 0 || cfsetospeed(tio, entry->code) != 0) {
        return fail_errno();
    }
    return true;
}

// Drivers may accept a record and quietly keep something else.
bool device_took(int fd, const struct termios& wanted, uint32_t rate) {
    struct termios actual;
    if (tcgetattr(fd, &actual) != 0) {
        return fail_errno();
    }
    bool same_frame = (actual.c_cflag & CHECKED_CONTROL) == (wanted.c_cflag & CHECKED_CONTROL);
    bool same_input = (actual.c_iflag & CHECKED_INPUT) == (wanted.c_iflag & CHECKED_INPUT);
    if (!same_frame || !same_input || rate_in_use(fd, actual) != rate) {
        return fail(EINVAL);
    }
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

uint64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
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
    const uint64_t stalled_since = monotonic_ms();
    bool heed_wake = true;
    for (;;) {
        pollfd fds[1 + WAKE_HANDLES_MAX];
        const nfds_t count = watch_set(fd, POLLOUT, watch != nullptr && heed_wake ? &watch->wake : nullptr, fds);
        const int ready = poll(fds, count, watch != nullptr ? static_cast<int>(WRITE_WATCH_SLICE_MS) : -1);
        if (poll_failed(ready)) return fail_errno();
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return fail(EIO);
        if ((fds[0].revents & POLLOUT) != 0) return true;
        if (ready < 0 || watch == nullptr) continue;
        const auto stalled = static_cast<uint32_t>(monotonic_ms() - stalled_since);
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
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return fail_errno();
    }
    settings->native.tio = tio;
    settings->BaudRate = rate_in_use(fd, tio);
    settings->ByteSize = byte_size_of(tio.c_cflag);
    settings->Parity = parity_of(tio.c_cflag);
    settings->StopBits = (tio.c_cflag & CSTOPB) != 0 ? STOPBITS_TWO : STOPBITS_ONE;
    settings->fParity = flag(tio.c_iflag & INPCK);
    settings->fBinary = is_raw(tio) ? 1 : 0;
    settings->fOutX = flag(tio.c_iflag & IXON);
    settings->fInX = flag(tio.c_iflag & IXOFF);
    settings->fRtsControl = rts_raised(fd);
    return true;
}

bool device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    int fd = -1;
    if (!handle_fd(handle, &fd)) {
        return false;
    }
    if (settings == nullptr) {
        return fail(EINVAL);
    }
    struct termios wanted = settings->native.tio;
    if (!overlay_frame(&wanted, *settings)) {
        return fail(EINVAL);
    }
    bool needs_any_rate = false;
    if (!overlay_rate(&wanted, settings->BaudRate, &needs_any_rate)) {
        return false;
    }
    if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
        return fail_errno();
    }
    if (needs_any_rate && !baud_set_any(fd, settings->BaudRate)) {
        return fail_errno();
    }
    if (settings->fRtsControl == RTS_CONTROL_DISABLE) {
        lower_rts(fd);
    }
    return device_took(fd, wanted, settings->BaudRate);
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
    if ((tio.c_cflag & HARDWARE_FLOW) != 0) {
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
    snprintf(out, size, "crtscts %s, clocal %s, hupcl %s", (tio.c_cflag & HARDWARE_FLOW) != 0 ? "on" : "off",
             (tio.c_cflag & CLOCAL) != 0 ? "on" : "off", (tio.c_cflag & HUPCL) != 0 ? "on" : "off");
}
