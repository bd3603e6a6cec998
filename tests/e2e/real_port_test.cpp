// fwld on a real serial port, for a machine that has one: name it with
// FWLD_TEST_SERIAL_DEVICE (e.g. /dev/ttyS0 or a USB adapter; nothing need be
// connected). Skipped otherwise.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "e2e_support.h"

namespace e2e {
namespace {

// The driver's low-latency flag: 1 or 0, or -1 when it cannot be asked.
int low_latency_flag(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct serial_struct serial{};
    const int flag = ioctl(fd, TIOCGSERIAL, &serial) == 0 ? ((serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0) : -1;
    close(fd);
    return flag;
}

TEST(RealPort, LowLatencyHoldsForTheRunAndIsGivenBackWhateverEndsIt) {
    const char* path = std::getenv("FWLD_TEST_SERIAL_DEVICE");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "set FWLD_TEST_SERIAL_DEVICE to a serial port to run this";
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "the low-latency flag is Linux's";
    if (low_latency_flag(path) != 0) GTEST_SKIP() << path << ": no low-latency flag to switch";
    Inputs in(loader_bytes(10), "E");
    // Ended by a key, by SIGTERM and by SIGINT: the flag is back each time.
    for (int ending : {0, SIGTERM, SIGINT}) {
        auto tool = testbed::FwldProcess::fwld({in.loader, in.program, "0", "0", "100", "0", path});
        ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s)) << tool->err_so_far();
        std::this_thread::sleep_for(200ms);  // the keyboard is taken, the passwords go out
        EXPECT_EQ(low_latency_flag(path), 1) << ending;
        if (ending == 0) {
            tool->press_key('q');
        } else {
            tool->kill(ending);
        }
        const testbed::ProcessResult r = tool->finish(10s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(low_latency_flag(path), 0) << "after ending " << ending;
    }
}

}  // namespace
}  // namespace e2e
