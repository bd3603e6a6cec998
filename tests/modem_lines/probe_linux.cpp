// Drives a terminal's modem lines as a tool does, for the stand-in's tests:
//   fwld-lines-probe DEVICE STEP...
// STEP: dtr / -dtr / rts / -rts set or clear that line (TIOCMBIS, TIOCMBIC),
// set=N sets the lines to N (TIOCMSET), get prints TIOCMGET's lines,
// a number waits that many milliseconds. Exit 1 at the first step that
// fails, naming it and the reason.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool run_step(int fd, const std::string& step) {
    int bits = step.find("dtr") != std::string::npos ? TIOCM_DTR : TIOCM_RTS;
    if (step == "dtr" || step == "rts") return ioctl(fd, TIOCMBIS, &bits) == 0;
    if (step == "-dtr" || step == "-rts") return ioctl(fd, TIOCMBIC, &bits) == 0;
    if (step.rfind("set=", 0) == 0) {
        bits = std::atoi(step.c_str() + 4);
        return ioctl(fd, TIOCMSET, &bits) == 0;
    }
    if (step == "get") {
        if (ioctl(fd, TIOCMGET, &bits) != 0) return false;
        std::printf("DTR=%d RTS=%d DSR=%d CTS=%d CD=%d\n", (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0,
                    (bits & TIOCM_DSR) != 0, (bits & TIOCM_CTS) != 0, (bits & TIOCM_CAR) != 0);
        return true;
    }
    char* end = nullptr;
    const long ms = std::strtol(step.c_str(), &end, 10);
    if (step.empty() || *end != '\0' || ms < 0) {
        errno = EINVAL;
        return false;
    }
    const timespec wait{ms / 1000, (ms % 1000) * 1000000};
    return nanosleep(&wait, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: fwld-lines-probe DEVICE STEP...\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], std::strerror(errno));
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (!run_step(fd, argv[i])) {
            std::fprintf(stderr, "%s: %s\n", argv[i], std::strerror(errno));
            return 1;
        }
    }
    std::fflush(stdout);
    close(fd);
    return 0;
}
