#include "target_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

struct BaudEntry {
    long baud;
    speed_t speed;
};

const BaudEntry kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {500000, B500000}, {576000, B576000},   {921600, B921600},
    {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

bool make_raw(int fd, long baud, std::string* error) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        *error = errno_text("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    unsigned speed = 0;
    if (baud_to_speed(baud, &speed)) cfsetspeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        *error = errno_text("tcsetattr");
        return false;
    }
    return true;
}

}  // namespace

bool baud_to_speed(long baud, unsigned* speed) {
    static_assert(sizeof(speed_t) == sizeof(unsigned));
    for (const BaudEntry& e : kBauds) {
        if (e.baud == baud) {
            *speed = e.speed;
            return true;
        }
    }
    return false;
}

long TargetLine::line_baud() const {
    termios tio{};
    if (fd_ < 0 || tcgetattr(fd_, &tio) != 0) return 0;
    const speed_t speed = cfgetospeed(&tio);
    for (const BaudEntry& e : kBauds) {
        if (e.speed == speed) return e.baud;
    }
    return 0;
}

TargetLine::TargetLine() {
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    watch_fd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
}

TargetLine::~TargetLine() {
    close();
    if (stop_fd_ >= 0) ::close(stop_fd_);
    if (watch_fd_ >= 0) ::close(watch_fd_);
}

std::string TargetLine::slave_path() const {
    std::lock_guard<std::mutex> lock(path_mutex_);
    return slave_path_;
}

void TargetLine::request_stop() {
    stopping_ = true;
    uint64_t one = 1;
    if (stop_fd_ >= 0) {
        ssize_t ignored = write(stop_fd_, &one, sizeof one);
        (void)ignored;
    }
}

bool TargetLine::create_pty(std::string* error) {
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m < 0) {
        *error = errno_text("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        *error = errno_text("pty setup");
        ::close(m);
        return false;
    }
    // Holding the slave keeps the master from reading as hung up while no
    // tool has it open, and keeps bytes we send before the tool is there.
    int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s < 0) {
        *error = errno_text(name);
        ::close(m);
        return false;
    }
    if (!make_raw(s, baud_, error)) {
        ::close(s);
        ::close(m);
        return false;
    }
    // Added after our own open, so every open event is the tool's.
    watch_ = watch_fd_ >= 0 ? inotify_add_watch(watch_fd_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) : -1;
    fd_ = m;
    held_slave_ = s;
    pty_ = true;
    {
        std::lock_guard<std::mutex> lock(path_mutex_);
        slave_path_ = name;
    }
    return lines_folder_.empty() || bind_lines(error);
}

bool TargetLine::publish_link(std::string* error) {
    if (link_.empty()) return true;
    std::string target = slave_path();
    std::string tmp = link_ + ".new" + std::to_string(getpid());
    ::unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) {
        *error = errno_text(tmp.c_str());
        return false;
    }
    if (rename(tmp.c_str(), link_.c_str()) != 0) {
        *error = errno_text(link_.c_str());
        ::unlink(tmp.c_str());
        return false;
    }
    link_target_ = target;
    return true;
}

bool TargetLine::open_pty(const std::string& link, long baud, std::string* error) {
    close();
    baud_ = baud;
    link_ = link;
    if (!create_pty(error)) return false;
    if (!publish_link(error)) {
        close();
        return false;
    }
    return true;
}

bool TargetLine::open_device(const std::string& path, long baud, std::string* error) {
    close();
    unsigned speed = 0;
    if (!baud_to_speed(baud, &speed)) {
        *error = "unsupported baud rate " + std::to_string(baud);
        return false;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno_text(path.c_str());
        return false;
    }
    baud_ = baud;
    if (!make_raw(fd, baud, error)) {
        ::close(fd);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    pty_ = false;
    std::lock_guard<std::mutex> lock(path_mutex_);
    slave_path_ = path;
    return true;
}

void TargetLine::drop_pty() {
    close_lines();
    if (watch_ >= 0) {
        inotify_rm_watch(watch_fd_, watch_);
        watch_ = -1;
    }
    if (held_slave_ >= 0) ::close(held_slave_);
    if (fd_ >= 0) ::close(fd_);
    held_slave_ = -1;
    fd_ = -1;
    // Only remove the link while it is still ours.
    if (!link_.empty() && !link_target_.empty()) {
        char buf[256];
        ssize_t n = readlink(link_.c_str(), buf, sizeof buf - 1);
        if (n > 0 && std::string(buf, static_cast<size_t>(n)) == link_target_) ::unlink(link_.c_str());
        link_target_.clear();
    }
    std::lock_guard<std::mutex> lock(path_mutex_);
    slave_path_.clear();
}

void TargetLine::close() {
    if (pty_) {
        drop_pty();
    } else if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TargetLine::listen_lines(const std::string& folder, std::string* error) {
    if (!pty_) {
        *error = "the modem lines are heard on a pty only";
        return false;
    }
    lines_folder_ = folder;
    return bind_lines(error);
}

bool TargetLine::bind_lines(std::string* error) {
    close_lines();
    std::string name = slave_path();
    if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
    std::replace(name.begin(), name.end(), '/', '-');
    const std::string path = lines_folder_ + "/" + name;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        *error = path + ": too long for a socket path";
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // A socket left by a target that was killed holds the name; nothing else is removed.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = errno_text("socket");
        return false;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = errno_text(path.c_str());
        ::close(fd);
        return false;
    }
    lines_fd_ = fd;
    lines_path_ = path;
    return true;
}

void TargetLine::close_lines() {
    if (lines_fd_ < 0) return;
    ::close(lines_fd_);
    ::unlink(lines_path_.c_str());
    lines_fd_ = -1;
    lines_path_.clear();
}

void TargetLine::read_lines() {
    for (;;) {
        char text[128];
        ssize_t n = recv(lines_fd_, text, sizeof text - 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text[n] = '\0';
        int dtr = 0, rts = 0;
        unsigned long long ns = 0;
        if (std::sscanf(text, "DTR=%d RTS=%d %llu", &dtr, &rts, &ns) != 3) continue;
        LineState state;
        state.dtr = dtr != 0;
        state.rts = rts != 0;
        state.at = Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
        if (lines_handler_) lines_handler_(state);
    }
}

namespace {

constexpr Clock::duration RX_BATCH = std::chrono::milliseconds(1);

}  // namespace

Clock::duration TargetLine::byte_time() const {
    long baud = baud_ > 0 ? baud_ : 9600;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / baud));
}

void TargetLine::read_watch() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(watch_fd_, buf, sizeof buf);
        if (n <= 0) return;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            if (ev->wd == watch_) {
                if (ev->mask & IN_OPEN) ++opens_;
                if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) ++closes_;
            }
            p += sizeof(inotify_event) + ev->len;
        }
    }
}

void TargetLine::read_input() {
    uint8_t buf[512];
    size_t room = sizeof buf;
    if (rate_model_) {
        // About 10 ms of line time at once, so the tool's transmit queue
        // backs up the way it would on a wire.
        size_t chunk = static_cast<size_t>(std::max(1L, baud_ / 1000));
        room = chunk > rx_.size() ? chunk - rx_.size() : 1;
        room = std::min(room, sizeof buf);
    }
    ssize_t n = read(fd_, buf, room);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;
        throw LineLost{errno_text("read")};
    }
    if (n == 0) throw LineLost{"the line was closed"};
    Clock::time_point now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
        Clock::time_point due = now;
        if (rate_model_) {
            rx_line_free_ = std::max(rx_line_free_, now) + byte_time();
            due = rx_line_free_;
        }
        rx_.push_back({buf[i], due});
    }
}

void TargetLine::pump(Clock::time_point deadline, bool want_output) {
    pollfd fds[4];
    nfds_t n = 0;
    fds[n++] = {stop_fd_, POLLIN, 0};
    int line = -1;
    int watch = -1;
    if (fd_ >= 0) {
        bool want_input = !rate_model_ || rx_.size() < static_cast<size_t>(std::max(1L, baud_ / 1000));
        line = static_cast<int>(n);
        fds[n++] = {fd_, static_cast<short>((want_input ? POLLIN : 0) | (want_output ? POLLOUT : 0)), 0};
    }
    if (watch_fd_ >= 0 && watch_ >= 0) {
        watch = static_cast<int>(n);
        fds[n++] = {watch_fd_, POLLIN, 0};
    }
    if (lines_fd_ >= 0) fds[n++] = {lines_fd_, POLLIN, 0};
    timespec ts{};
    timespec* tsp = nullptr;
    if (deadline != Clock::time_point::max()) {
        auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
        tsp = &ts;
    }
    int r = ppoll(fds, n, tsp, nullptr);
    if (r < 0) {
        if (errno == EINTR) return;
        throw LineLost{errno_text("ppoll")};
    }
    // The event stays set, so every later wait ends here too.
    if (fds[0].revents) throw LineStopped{};
    if (watch >= 0 && fds[watch].revents) read_watch();
    if (line >= 0 && (fds[line].revents & (POLLIN | POLLHUP | POLLERR))) read_input();
    // After the input: every report sent before those bytes were written is
    // in the socket by now, and is handed over before the bytes are.
    if (lines_fd_ >= 0) read_lines();
}

int TargetLine::get(Clock::time_point deadline, Clock::time_point* when, int close_mark) {
    for (;;) {
        // A tool that keeps sending would otherwise never let a stop through.
        if (stopping_) throw LineStopped{};
        Clock::time_point now = Clock::now();
        if (!rx_.empty()) {
            if (rx_.front().due <= now) {
                Rx item = rx_.front();
                rx_.pop_front();
                if (when) *when = item.due;
                return item.byte;
            }
            if (deadline <= now) return -1;
            // Bytes are taken up as they come through, a millisecond's worth
            // at a time: one wake-up per byte would make the model, not the
            // tool, the load when many targets run at once.
            pump(std::min(std::max(rx_.front().due, now + RX_BATCH), deadline));
            continue;
        }
        if (close_mark >= 0 && closes_ > close_mark) return -2;
        if (deadline <= now) return -1;
        pump(deadline);
    }
}

void TargetLine::sleep_until(Clock::time_point deadline) {
    while (Clock::now() < deadline) pump(deadline);
}

void TargetLine::hold_until_stopped() {
    pollfd stop = {stop_fd_, POLLIN, 0};
    while (!stopping_.load()) {
        if (poll(&stop, 1, -1) < 0 && errno != EINTR) return;
    }
}

void TargetLine::write_raw(const uint8_t* data, size_t count) {
    while (count > 0) {
        if (fd_ < 0) throw LineLost{"the line is not open"};
        ssize_t n = write(fd_, data, count);
        if (n > 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) throw LineLost{errno_text("write")};
        pump(Clock::time_point::max(), true);
    }
}

void TargetLine::put(const void* data, size_t count) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (!rate_model_) {
        write_raw(bytes, count);
        return;
    }
    // Each byte reaches the tool once its last bit is through.
    for (size_t i = 0; i < count; ++i) {
        tx_line_free_ = std::max(tx_line_free_, Clock::now()) + byte_time();
        sleep_until(tx_line_free_);
        write_raw(bytes + i, 1);
    }
}

void TargetLine::change_speed(long baud) {
    if (!pty_ && fd_ >= 0) {
        unsigned speed = 0;
        termios tio{};
        if (!baud_to_speed(baud, &speed)) throw LineLost{"unsupported baud rate " + std::to_string(baud)};
        // The speed line must leave at the old rate.
        tcdrain(fd_);
        if (tcgetattr(fd_, &tio) != 0) throw LineLost{errno_text("tcgetattr")};
        cfsetspeed(&tio, speed);
        if (tcsetattr(fd_, TCSANOW, &tio) != 0) throw LineLost{errno_text("tcsetattr")};
    }
    baud_ = baud;
}

void TargetLine::replug(std::chrono::milliseconds unplugged, std::chrono::milliseconds reopen_timeout,
                        std::chrono::milliseconds settle) {
    if (!pty_) throw LineLost{"replug needs a pty"};
    drop_pty();
    rx_.clear();  // what had come in but was not taken yet is lost with the line
    sleep_for(unplugged);
    std::string error;
    if (!create_pty(&error) || !publish_link(&error)) throw LineLost{"replug: " + error};
    int before = opens_;
    Clock::time_point deadline = Clock::now() + reopen_timeout;
    while (opens_ == before) {
        if (Clock::now() >= deadline) throw LineLost{"the tool did not open the new pty"};
        pump(deadline);
    }
    sleep_for(settle);
}

}  // namespace sim
