// The POSIX device backend on real pseudo-terminals. The master end plays
// the far side; on Linux tcgetattr on the master reports the slave's line.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device.h"
#include "port_slot.h"

namespace {

#ifdef CMSPAR
constexpr tcflag_t STICK = CMSPAR;
#else
constexpr tcflag_t STICK = 0;
#endif

class DevicePty : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        snprintf(slave_path, sizeof slave_path, "%s", ptsname(master));
    }
    void TearDown() override {
        if (handle != INVALID_DEVICE) device_close(handle);
        if (master >= 0) close(master);
    }
    void open_device() {
        ASSERT_EQ(device_open(slave_path, &handle), 0);
        ASSERT_NE(handle, INVALID_DEVICE);
        ASSERT_EQ(device_read_settings(handle, &settings), 0);
    }
    // The record fwld asks for: 9600 8N1, raw, no flow control, RTS off.
    void ask_plain_9600() {
        settings.baud = 9600;
        settings.byte_size = 8;
        settings.parity = LINE_PARITY_NONE;
        settings.stop_bits = LINE_STOP_BITS_ONE;
        settings.check_parity = settings.xon_xoff_out = settings.xon_xoff_in = settings.rts_control = 0;
        settings.raw = 1;
    }
    struct termios line() {
        struct termios tio {};
        EXPECT_EQ(tcgetattr(master, &tio), 0);
        return tio;
    }

    int master = -1;
    char slave_path[128] = {};
    DeviceHandle handle = INVALID_DEVICE;
    LineSettings settings{};
};

TEST(DeviceOpen, MissingDeviceFailsWithEnoent) {
    for (const char* path : {"", "/dev/fwld-no-such-device"}) {
        DeviceHandle handle = 0;
        EXPECT_EQ(device_open(path, &handle), 2) << path;
        EXPECT_EQ(handle, INVALID_DEVICE) << path;
    }
    EXPECT_EQ(device_close(INVALID_DEVICE), EBADF);
    EXPECT_EQ(device_close(0), EBADF);
}

TEST(DeviceOpen, DefaultPathCountsPortsFromOne) {
    char path[32];
    device_default_path(1, path, sizeof path);
    EXPECT_STREQ(path, "/dev/ttyS0");
    device_default_path(17, path, sizeof path);
    EXPECT_STREQ(path, "/dev/ttyS16");
    device_default_path(0, path, sizeof path);
    EXPECT_STREQ(path, "");
    device_default_path(3, path, 6);  // a cut-off name must not name another device
    EXPECT_STREQ(path, "");
}

TEST(DeviceOpen, NonTerminalOpensButHasNoSettings) {
    char path[] = "/tmp/fwld-device-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    DeviceHandle handle = INVALID_DEVICE;
    EXPECT_EQ(device_open(path, &handle), 0);
    LineSettings settings{};
    EXPECT_NE(handle, INVALID_DEVICE);
    EXPECT_EQ(device_read_settings(handle, &settings), ENOTTY);
    EXPECT_EQ(device_close(handle), 0);
    close(file);
    unlink(path);
}

TEST_F(DevicePty, OpenIsExclusiveAndNeverWaits) {
    open_device();
    int fd = static_cast<int>(handle);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    // Privileged users pass TIOCEXCL (EBUSY) but not the lock (EWOULDBLOCK).
    DeviceHandle second = 0;
    const DeviceError refused = device_open(slave_path, &second);
    EXPECT_TRUE(refused == EBUSY || refused == EWOULDBLOCK) << refused;
    EXPECT_EQ(second, INVALID_DEVICE);

    EXPECT_EQ(device_close(handle), 0);
    EXPECT_EQ(device_open(slave_path, &handle), 0);
    EXPECT_NE(handle, INVALID_DEVICE);
}

TEST_F(DevicePty, ApplyOverlaysOnlyOwnedFields) {
    struct termios before = line();
    before.c_cc[VINTR] = 0x01;
    before.c_cflag |= CSTOPB | CRTSCTS;
    before.c_iflag |= IXON | INPCK;
    before.c_lflag |= ICANON | ECHO;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &before), 0);
    open_device();
    EXPECT_EQ(settings.stop_bits, LINE_STOP_BITS_TWO);
    EXPECT_EQ(settings.xon_xoff_out, 1);
    EXPECT_EQ(settings.check_parity, 1);
    EXPECT_EQ(settings.raw, 0);
    EXPECT_EQ(settings.rts_control, 0);  // a pty has no RTS to read
    char hold[160];
    device_describe_hold(handle, hold, sizeof hold);
    EXPECT_EQ(std::string(hold).rfind("hardware flow control (CRTSCTS) is on", 0), 0u) << hold;

    ask_plain_9600();
    ASSERT_EQ(device_apply_settings(handle, &settings), 0);
    device_describe_hold(handle, hold, sizeof hold);
    EXPECT_STREQ(hold, "CRTSCTS is off; the device takes nothing");
    struct termios after = line();
    EXPECT_EQ(cfgetospeed(&after), B9600);
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL), CS8 | CREAD | CLOCAL);
    EXPECT_EQ(after.c_iflag & (INPCK | IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(after.c_cc[VMIN], 1);
    EXPECT_EQ(after.c_cc[VTIME], 0);
    EXPECT_EQ(after.c_cc[VINTR], 0x01);

    LineSettings reread{};
    ASSERT_EQ(device_read_settings(handle, &reread), 0);
    EXPECT_EQ(reread.baud, 9600u);
    EXPECT_EQ(reread.raw, 1);
}

// Linux ptys force CS8 without parity whatever is asked. There the backend
// must notice and refuse, and the bits a pty does keep still show the mapping.
bool pty_keeps_framing(int master) {
    struct termios saved {};
    tcgetattr(master, &saved);
    struct termios probe = saved;
    probe.c_cflag = (probe.c_cflag & ~CSIZE) | CS7 | PARENB;
    tcsetattr(master, TCSANOW, &probe);
    tcgetattr(master, &probe);
    tcsetattr(master, TCSANOW, &saved);
    return (probe.c_cflag & (CSIZE | PARENB)) == (CS7 | PARENB);
}

TEST_F(DevicePty, FrameCodesMapToLineFlags) {
    struct Case {
        uint8_t size, parity, stop, check_parity, out_x, in_x;
        tcflag_t control, input;
    };
    const Case cases[] = {
        {8, LINE_PARITY_NONE, LINE_STOP_BITS_TWO, 1, 1, 0, CS8 | CSTOPB, INPCK | IXON},
        {8, LINE_PARITY_EVEN, LINE_STOP_BITS_ONE, 1, 0, 1, CS8 | PARENB, INPCK | IXOFF},
        {8, LINE_PARITY_ODD, LINE_STOP_BITS_ONE, 0, 1, 1, CS8 | PARENB | PARODD, IXON | IXOFF},
#ifdef CMSPAR
        {8, LINE_PARITY_MARK, LINE_STOP_BITS_ONE, 0, 0, 0, CS8 | PARENB | PARODD | CMSPAR, 0},
        {8, LINE_PARITY_SPACE, LINE_STOP_BITS_ONE, 0, 0, 0, CS8 | PARENB | CMSPAR, 0},
#endif
        {7, LINE_PARITY_EVEN, LINE_STOP_BITS_TWO, 0, 0, 0, CS7 | PARENB | CSTOPB, 0},
        {5, LINE_PARITY_NONE, LINE_STOP_BITS_ONE, 0, 0, 0, CS5, 0},
    };
    const bool keeps_framing = pty_keeps_framing(master);
    open_device();
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(index++);
        ask_plain_9600();
        settings.byte_size = c.size;
        settings.parity = c.parity;
        settings.stop_bits = c.stop;
        settings.check_parity = c.check_parity;
        settings.xon_xoff_out = c.out_x;
        settings.xon_xoff_in = c.in_x;
        const bool takes = keeps_framing || (c.size == 8 && c.parity == LINE_PARITY_NONE);
        EXPECT_EQ(device_apply_settings(handle, &settings), takes ? 0 : EINVAL);
        struct termios after = line();
        const tcflag_t shown = takes ? c.control : (c.control & ~(CSIZE | PARENB)) | CS8;
        EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB | STICK), shown);
        EXPECT_EQ(after.c_iflag & (INPCK | IXON | IXOFF), c.input);
        LineSettings reread{};
        ASSERT_EQ(device_read_settings(handle, &reread), 0);
        if (takes) {
            EXPECT_EQ(reread.byte_size, c.size);
            EXPECT_EQ(reread.parity, c.parity);
            EXPECT_EQ(reread.stop_bits, c.stop);
        }
    }
}

TEST_F(DevicePty, UnsupportedFieldsAreRefusedAndNothingApplied) {
    open_device();
    struct termios before = line();
    const LineSettings original = settings;
    for (int field = 0; field < 5; ++field) {
        settings = original;
        ask_plain_9600();
        if (field == 0) settings.stop_bits = LINE_STOP_BITS_ONE_AND_HALF;
        if (field == 1) settings.byte_size = 4;
        if (field == 2) settings.byte_size = 9;
        if (field == 3) settings.parity = 5;
        if (field == 4) settings.baud = 0;
        EXPECT_EQ(device_apply_settings(handle, &settings), EINVAL) << field;
        struct termios after = line();
        EXPECT_EQ(after.c_cflag, before.c_cflag) << field;
        EXPECT_EQ(after.c_lflag, before.c_lflag) << field;
    }
}

#ifdef __linux__
TEST_F(DevicePty, NonStandardRateReadsBackExactly) {
    open_device();
    ask_plain_9600();
    settings.baud = 250000;
    settings.stop_bits = LINE_STOP_BITS_TWO;
    ASSERT_EQ(device_apply_settings(handle, &settings), 0);
    LineSettings reread{};
    ASSERT_EQ(device_read_settings(handle, &reread), 0);
    EXPECT_EQ(reread.baud, 250000u);
    EXPECT_EQ(reread.stop_bits, LINE_STOP_BITS_TWO);

    reread.baud = 115200;  // back to a B-constant from the odd rate
    ASSERT_EQ(device_apply_settings(handle, &reread), 0);
    struct termios after = line();
    EXPECT_EQ(cfgetospeed(&after), B115200);
}
#endif

// Drains the master slowly so the device sees a full buffer; gives up (and
// closes the master, which fails the writer) after a deadline.
std::vector<unsigned char> drain_slowly(int* master, size_t expected) {
    std::vector<unsigned char> got;
    unsigned char chunk[700];
    for (int idle_polls = 0; got.size() < expected && idle_polls < 50;) {
        struct pollfd watch = {*master, POLLIN, 0};
        if (poll(&watch, 1, 100) <= 0) {
            ++idle_polls;
            continue;
        }
        ssize_t n = read(*master, chunk, sizeof chunk);
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (got.size() < expected) {
        close(*master);
        *master = -1;
    }
    return got;
}

TEST_F(DevicePty, LargeWriteArrivesWhole) {
    open_device();
    ask_plain_9600();
    ASSERT_EQ(device_apply_settings(handle, &settings), 0);
    std::vector<unsigned char> sent(200u * 1024u);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + i / 251);
    EXPECT_EQ(device_write(handle, nullptr, 0), 0);

    // Blocking, then non-blocking: the second takes the partial-write path.
    for (bool nonblocking : {false, true}) {
        if (nonblocking) fcntl(static_cast<int>(handle), F_SETFL, O_RDWR | O_NONBLOCK);
        std::vector<unsigned char> received;
        std::thread reader([&] { received = drain_slowly(&master, sent.size()); });
        EXPECT_EQ(device_write(handle, sent.data(), static_cast<uint32_t>(sent.size())), 0) << nonblocking;
        reader.join();
        ASSERT_EQ(received.size(), sent.size()) << nonblocking;
        EXPECT_TRUE(received == sent) << nonblocking;
    }
}

TEST_F(DevicePty, ReadsWaitingBytesAndCountsThem) {
    open_device();
    ask_plain_9600();
    ASSERT_EQ(device_apply_settings(handle, &settings), 0);
    ASSERT_EQ(write(master, "ab\n", 3), 3);
    uint32_t in = 0, out = 99;
    for (int tries = 0; tries < 200 && in < 3; ++tries) {
        ASSERT_EQ(device_queue_status(handle, &in, &out), 0);
        if (in < 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(in, 3u);
    EXPECT_EQ(out, 0u);
    // One read takes all that has arrived, and no more than asked for.
    unsigned char bytes[8] = {};
    uint32_t got = 0;
    ASSERT_EQ(device_read_available(handle, bytes, 2, &got), 0);
    EXPECT_EQ(got, 2u);
    ASSERT_EQ(device_read_available(handle, bytes + 2, sizeof bytes - 2, &got), 0);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 3), "ab\n");
    ASSERT_EQ(device_queue_status(handle, &in, &out), 0);
    EXPECT_EQ(in, 0u);
    // Nothing more: the read does not wait for it.
    ASSERT_EQ(device_read_available(handle, bytes, sizeof bytes, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(DevicePty, HungUpLineNoLongerAnswers) {
    open_device();
    EXPECT_EQ(device_health(handle), 0);
    close(master);
    master = -1;
    EXPECT_EQ(device_health(handle), EIO);
    unsigned char byte = 0;
    uint32_t got = 0;
    EXPECT_NE(device_read_available(handle, &byte, 1, &got), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_NE(device_write(handle, "x", 1), 0);
}

// The master end still has its settings after the far end left; only the
// hang-up tells.
TEST(DeviceAnswers, HangUpCountsEvenWhenSettingsStillRead) {
    DeviceHandle master = INVALID_DEVICE;
    ASSERT_EQ(device_open("/dev/ptmx", &master), 0);
    int fd = static_cast<int>(master);
    ASSERT_EQ(unlockpt(fd), 0);
    int slave = open(ptsname(fd), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    EXPECT_EQ(device_health(master), 0);
    close(slave);
    LineSettings settings{};
    EXPECT_EQ(device_read_settings(master, &settings), 0);
    EXPECT_EQ(device_health(master), EIO);
    EXPECT_EQ(device_close(master), 0);
}

}  // namespace
