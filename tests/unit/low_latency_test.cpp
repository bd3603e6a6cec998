// Low-latency mode: taken at open and given back at close where the driver
// has it; a pty has none, and its open must neither fail nor change.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "device.h"
#include "low_latency.h"
#include "port_slot.h"

namespace {

// The driver's low-latency flag: 1 or 0, or -1 when the device has no
// serial driver to ask.
int low_latency_flag(int fd) {
    struct serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return -1;
    return (serial.flags & ASYNC_LOW_LATENCY) != 0 ? 1 : 0;
}

// The flag word as the run changes it, the driver's other flags untouched.
TEST(LowLatency, TakingAndGivingBackChangeTheFlagAlone) {
    const int others = ASYNC_SPD_HI | ASYNC_SKIP_TEST;
    int flags = others;
    EXPECT_TRUE(latency_flags_take(&flags));
    EXPECT_EQ(flags, others | ASYNC_LOW_LATENCY);
    latency_flags_give_back(&flags);
    EXPECT_EQ(flags, others);
    // Already on: nothing is taken, so nothing will be given back.
    flags = others | ASYNC_LOW_LATENCY;
    EXPECT_FALSE(latency_flags_take(&flags));
    EXPECT_EQ(flags, others | ASYNC_LOW_LATENCY);
}

TEST(LowLatency, APtyOpensAndClosesUnchanged) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    DeviceHandle handle = INVALID_DEVICE;
    ASSERT_EQ(device_open(ptsname(master), &handle), 0);
    const int fd = static_cast<int>(handle);
    EXPECT_EQ(low_latency_flag(fd), -1);
    termios before{};
    ASSERT_EQ(tcgetattr(fd, &before), 0);
    low_latency_take(fd);  // again, directly: still no effect, no failure
    termios after{};
    ASSERT_EQ(tcgetattr(fd, &after), 0);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(device_close(handle), 0);
    close(master);
}

// A real serial port named by FWLD_TEST_SERIAL_DEVICE (e.g. /dev/ttyS0 or a
// USB adapter), for a machine that has one.
TEST(LowLatency, ARealPortIsSwitchedForTheRunAndGivenBack) {
    const char* path = std::getenv("FWLD_TEST_SERIAL_DEVICE");
    if (path == nullptr || *path == '\0') GTEST_SKIP() << "set FWLD_TEST_SERIAL_DEVICE to a serial port to run this";
    const int probe = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0) << path;
    const int before = low_latency_flag(probe);
    close(probe);
    if (before != 0) GTEST_SKIP() << path << ": no low-latency flag to switch (" << before << ")";
    DeviceHandle handle = INVALID_DEVICE;
    ASSERT_EQ(device_open(path, &handle), 0);
    EXPECT_EQ(low_latency_flag(static_cast<int>(handle)), 1);
    EXPECT_EQ(device_close(handle), 0);
    const int again = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(again, 0);
    EXPECT_EQ(low_latency_flag(again), 0);
    close(again);
}

}  // namespace
