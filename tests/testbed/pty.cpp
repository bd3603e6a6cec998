#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "testbed.h"

namespace testbed {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error sys_error(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

void make_raw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) throw sys_error("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) throw sys_error("tcsetattr");
}

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<ms>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left) + 1;
}

}  // namespace

Pty::Pty(bool raw) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) throw sys_error("posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        throw sys_error("pty setup");
    }
    slave_path_ = name;
    if (raw) {
        int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (s < 0) {
            ::close(master_);
            throw sys_error(name);
        }
        make_raw(s);
        ::close(s);
    }
}

Pty::~Pty() {
    if (master_ >= 0) ::close(master_);
}

SerialEnd::SerialEnd(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw sys_error(path);
    make_raw(fd_);
}

SerialEnd::~SerialEnd() {
    if (fd_ >= 0) ::close(fd_);
}

void SerialEnd::send(const std::string& bytes) {
    size_t done = 0;
    auto deadline = Clock::now() + ms(10000);
    while (done < bytes.size()) {
        ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) throw sys_error("write");
        if (Clock::now() >= deadline) throw std::runtime_error("write: the other side takes nothing");
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, ms_left(deadline));
    }
}

void SerialEnd::send(const Bytes& bytes) { send(std::string(bytes.begin(), bytes.end())); }

std::string SerialEnd::recv(size_t n, ms timeout) {
    std::string got;
    auto deadline = Clock::now() + timeout;
    while (got.size() < n) {
        char buf[4096];
        ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
        if (r > 0) {
            got.append(buf, static_cast<size_t>(r));
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR) break;  // EIO: hung up
        if (Clock::now() >= deadline) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, ms_left(deadline)) > 0 && (p.revents & (POLLHUP | POLLERR)) && !(p.revents & POLLIN)) break;
    }
    return got;
}

std::string SerialEnd::recv_until(const std::string& suffix, ms timeout) {
    std::string got;
    auto deadline = Clock::now() + timeout;
    while (got.size() < suffix.size() || got.compare(got.size() - suffix.size(), suffix.size(), suffix) != 0) {
        if (Clock::now() >= deadline) break;
        std::string one = recv(1, std::chrono::duration_cast<ms>(deadline - Clock::now()));
        if (one.empty()) break;
        got += one;
    }
    return got;
}

std::string SerialEnd::drain(ms window) {
    std::string got;
    auto deadline = Clock::now() + window;
    while (Clock::now() < deadline) {
        std::string more = recv(4096, std::chrono::duration_cast<ms>(deadline - Clock::now()));
        if (more.empty()) break;
        got += more;
    }
    return got;
}

bool SerialEnd::hung_up(ms timeout) {
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        int r = poll(&p, 1, ms_left(deadline));
        if (r > 0 && (p.revents & (POLLHUP | POLLERR))) return true;
        if (r > 0 && (p.revents & POLLIN)) {
            char buf[256];
            ssize_t n = read(fd_, buf, sizeof buf);  // discard; a hang-up reads as EIO
            if (n < 0 && errno == EIO) return true;
        }
        if (Clock::now() >= deadline) return false;
    }
}

}  // namespace testbed
