// The modem-line stand-in: loaded with LD_PRELOAD into the process that
// drives a line (fwld, or the Wine process running fwld.exe), it gives a
// pseudo-terminal the DTR and RTS it lacks and tells the simulated target on
// the other end each change.
//
// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC go to the device first; only
// when the device refuses them (ENOTTY or EINVAL, as a pty does) and the
// descriptor is a terminal are they answered from the stand-in's own state,
// so on a real serial port nothing changes. The state is kept per device
// (st_rdev) for the life of the process; DTR and RTS start on, as a real
// adapter reports them after the open. TIOCMGET adds DSR, CTS and CD, on:
// a target is there.
//
// FWLD_MODEM_LINES=<folder> names where the targets listen: each change of
// DTR or RTS goes as one datagram "DTR=<0|1> RTS=<0|1> <CLOCK_MONOTONIC ns>"
// to the UNIX datagram socket <folder>/<name>, <name> being the terminal's
// path without "/dev/" and with '/' made '-' (/dev/pts/7: "pts-7"). No
// socket there: nothing is sent, and nothing ever waits for a reader.
//
// Everything on the ioctl path is async-signal-safe and allocates nothing:
// fixed buffers, system calls, and a table updated with atomic operations.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kDevices = 64;
// Set once a device's lines were first written: before that, both are on.
constexpr unsigned kKnown = 1u << 31;
constexpr unsigned kOwnLines = TIOCM_DTR | TIOCM_RTS;
constexpr unsigned kPeerLines = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;

struct Device {
    std::atomic<uint64_t> rdev{0};  // 0: a free slot
    std::atomic<unsigned> lines{0};
};

Device devices[kDevices];
char folder[sizeof(sockaddr_un{}.sun_path)];
size_t folder_length = 0;

__attribute__((constructor)) void read_folder() {
    const char* dir = std::getenv("FWLD_MODEM_LINES");
    if (dir == nullptr) return;
    size_t n = 0;
    while (dir[n] != '\0' && n + 1 < sizeof folder) {
        folder[n] = dir[n];
        ++n;
    }
    folder_length = dir[n] == '\0' ? n : 0;  // a folder too long for a socket path: none
}

long device_ioctl(int fd, unsigned long request, void* arg) { return syscall(SYS_ioctl, fd, request, arg); }

bool is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

// The terminal's device number; 0 when fd is no terminal.
uint64_t terminal_device(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    termios settings{};
    if (device_ioctl(fd, TCGETS, &settings) != 0) return 0;
    return st.st_rdev;
}

Device* slot_of(uint64_t rdev) {
    for (Device& d : devices) {
        uint64_t have = d.rdev.load();
        if (have == rdev) return &d;
        if (have == 0 && d.rdev.compare_exchange_strong(have, rdev)) return &d;
        if (have == rdev) return &d;  // another thread claimed it for the same device
    }
    return nullptr;
}

unsigned own_lines(unsigned stored) { return (stored & kKnown) != 0 ? stored & kOwnLines : kOwnLines; }

// Applies the request; the lines before and after.
void change_lines(Device& d, unsigned long request, unsigned bits, unsigned* before, unsigned* after) {
    unsigned stored = d.lines.load();
    for (;;) {
        const unsigned old = own_lines(stored);
        unsigned now = old;
        if (request == TIOCMSET) now = bits & kOwnLines;
        if (request == TIOCMBIS) now = old | (bits & kOwnLines);
        if (request == TIOCMBIC) now = old & ~(bits & kOwnLines);
        if (d.lines.compare_exchange_weak(stored, now | kKnown)) {
            *before = old;
            *after = now;
            return;
        }
    }
}

char* put_text(char* at, const char* end, const char* text) {
    while (*text != '\0' && at < end) *at++ = *text++;
    return at;
}

char* put_number(char* at, const char* end, uint64_t n) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (count > 0 && at < end) *at++ = digits[--count];
    return at;
}

// <folder>/<name> for the terminal behind fd; false when it does not fit.
bool socket_address(int fd, sockaddr_un* address) {
    char link[32];
    char* end = put_number(put_text(link, link + sizeof link - 1, "/proc/self/fd/"), link + sizeof link - 1,
                           static_cast<uint64_t>(fd));
    *end = '\0';
    char path[sizeof address->sun_path];
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 5) return false;
    path[length] = '\0';
    const char* name = path;
    if (name[0] == '/' && name[1] == 'd' && name[2] == 'e' && name[3] == 'v' && name[4] == '/') name += 5;
    address->sun_family = AF_UNIX;
    char* at = address->sun_path;
    const char* limit = address->sun_path + sizeof address->sun_path - 1;
    for (size_t i = 0; i < folder_length && at < limit; ++i) *at++ = folder[i];
    if (at < limit) *at++ = '/';
    for (; *name != '\0' && at < limit; ++name) *at++ = *name == '/' ? '-' : *name;
    if (*name != '\0') return false;
    *at = '\0';
    return true;
}

void tell_target(int fd, unsigned lines) {
    if (folder_length == 0) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    sockaddr_un address{};
    if (!socket_address(fd, &address)) return;
    char message[64];
    const char* end = message + sizeof message;
    char* at = put_text(message, end, (lines & TIOCM_DTR) != 0 ? "DTR=1" : "DTR=0");
    at = put_text(at, end, (lines & TIOCM_RTS) != 0 ? " RTS=1 " : " RTS=0 ");
    at = put_number(at, end,
                    static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec));
    const int out = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (out < 0) return;
    // Never waits: a target that does not read loses the news, the tool goes on.
    (void)sendto(out, message, static_cast<size_t>(at - message), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(out);
}

// The stand-in's answer; false when it has none (no terminal, table full).
bool answer(int fd, unsigned long request, int* arg) {
    const uint64_t rdev = terminal_device(fd);
    Device* d = rdev != 0 ? slot_of(rdev) : nullptr;
    if (d == nullptr) return false;
    if (request == TIOCMGET) {
        *arg = static_cast<int>(own_lines(d->lines.load()) | kPeerLines);
        return true;
    }
    unsigned before = 0, after = 0;
    change_lines(*d, request, static_cast<unsigned>(*arg), &before, &after);
    if (after != before) tell_target(fd, after);
    return true;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    const int caller_errno = errno;
    const long result = device_ioctl(fd, request, arg);
    if (result != -1 || !is_modem_request(request) || (errno != ENOTTY && errno != EINVAL) || arg == nullptr)
        return static_cast<int>(result);
    const int refused = errno;
    const bool answered = answer(fd, request, static_cast<int*>(arg));
    errno = answered ? caller_errno : refused;
    return answered ? 0 : -1;
}
