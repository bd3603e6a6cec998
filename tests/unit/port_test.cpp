// The port table and byte transfer against real pseudo-terminals.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <vector>
#include <termios.h>
#include <unistd.h>

#include "idle_wait.h"
#include "port_slot.h"
#include "testbed.h"
#include "trace.h"

namespace {

// A pty whose slave fwld opens by path (through a symlink, so a test can
// make the device vanish and come back).
class PtyPort : public ::testing::Test {
protected:
    static constexpr int PORT = 7;
    int master = -1;
    std::string link;

    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char dir[] = "/tmp/fwld-port-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        link = std::string(dir) + "/tty";
        ASSERT_EQ(symlink(ptsname(master), link.c_str()), 0);
        ASSERT_TRUE(port_assign_path(PORT, link.c_str()));
    }
    void TearDown() override {
        port_close(PORT);
        if (master >= 0) close(master);
        unlink(link.c_str());
        rmdir(link.substr(0, link.size() - 4).c_str());
    }
    termios line() {
        termios t{};
        EXPECT_EQ(tcgetattr(master, &t), 0);  // the slave's settings
        return t;
    }
    std::string drain_master() {
        std::string got;
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 200) > 0 && (p.revents & POLLIN)) {
            char buf[256];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

TEST(PortTable, NumbersWithoutSlotAreRefusedSilently) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_open(32), PORT_NO_SLOT);
    EXPECT_EQ(port_open(-1), PORT_NO_SLOT);
    EXPECT_EQ(port_reopen(32), PORT_NO_SLOT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(port_set_line(-1, MODEM_DTR, true));
    EXPECT_EQ(port_last_error(-1), PORT_NO_SLOT_ERROR);
    EXPECT_EQ(port_last_error(32), PORT_NO_SLOT_ERROR);
}

TEST(PortTable, AbsentDeviceReportsTheErrorCode) {
    ASSERT_TRUE(port_assign_path(9, "/nonexistent/fwld-tty"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_open(9), PORT_NOT_OPENED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "LastError(INVALID_HANDLE_VALUE)=2\n");
    EXPECT_EQ(port_slot(9)->handle, INVALID_DEVICE);
    EXPECT_EQ(port_last_error(9), ENOENT);
    // A failed slot reads as empty and drained, and writes fail quietly.
    EXPECT_EQ(port_input_count(9), 0u);
    EXPECT_EQ(port_output_drained(9), 1);
    EXPECT_EQ(port_write_string(9, "x"), 0);
    EXPECT_EQ(port_is_healthy(9), 0);
    EXPECT_EQ(port_last_error(9), EBADF);
}

TEST_F(PtyPort, ConfigureSetsTheLineAndKeepsTheRest) {
    termios before = line();
    before.c_cc[VINTR] = 0x05;  // a special character fwld must leave alone
    ASSERT_EQ(tcsetattr(master, TCSANOW, &before), 0);
    ASSERT_EQ(port_open(PORT), 0);
    EXPECT_EQ(port_configure(PORT, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE), 1);
    const termios t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_cc[VINTR], 0x05);

    // A pty accepts the call but always runs 8N: the read-back catches the
    // silently dropped parity, and the slot still holds what was asked.
    EXPECT_EQ(port_configure(PORT, 4800, 8, LINE_PARITY_EVEN, LINE_STOP_BITS_ONE), 0);
    EXPECT_EQ(line().c_cflag & PARENB, 0u);
    EXPECT_EQ(port_slot(PORT)->settings.parity, LINE_PARITY_EVEN);
    EXPECT_EQ(port_slot(PORT)->settings.check_parity, 1);
}

TEST_F(PtyPort, RejectedSettingsStayInTheSlotAndAReopenAppliesThem) {
    ASSERT_EQ(port_open(PORT), 0);
    EXPECT_EQ(port_configure(PORT, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE_AND_HALF), 0);
    EXPECT_EQ(port_slot(PORT)->settings.stop_bits, LINE_STOP_BITS_ONE_AND_HALF);
    // A speed change survives a re-open: the slot's record is applied anew.
    EXPECT_EQ(port_configure(PORT, 115200, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE), 1);
    termios elsewhere = line();
    cfsetspeed(&elsewhere, B4800);
    ASSERT_EQ(tcsetattr(master, TCSANOW, &elsewhere), 0);
    EXPECT_EQ(port_reopen(PORT), 0);
    const termios t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(port_is_healthy(PORT), 1);
}

TEST_F(PtyPort, ReopenWhileTheDeviceIsGoneFailsQuietlyUntilItIsBack) {
    ASSERT_EQ(port_open(PORT), 0);
    port_configure(PORT, 19200, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
    const std::string target = ptsname(master);
    ASSERT_EQ(unlink(link.c_str()), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_reopen(PORT), PORT_NOT_OPENED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(port_slot(PORT)->handle, INVALID_DEVICE);
    EXPECT_EQ(port_is_healthy(PORT), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(port_reopen(PORT), 0);
    EXPECT_EQ(port_is_healthy(PORT), 1);
    const termios t = line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST_F(PtyPort, HangUpMakesThePortUnhealthy) {
    ASSERT_EQ(port_open(PORT), 0);
    port_configure(PORT, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
    EXPECT_EQ(port_is_healthy(PORT), 1);
    close(master);
    master = -1;
    EXPECT_EQ(port_is_healthy(PORT), 0);
}

TEST_F(PtyPort, ADrainThatEndsOnADeadDeviceIsNotTakenForDelivery) {
    ASSERT_EQ(port_open(PORT), 0);
    EXPECT_EQ(port_write_string(PORT, "Finish Boot File"), 1);
    EXPECT_EQ(drain_on_healthy_port(PORT), DRAINED);
    close(master);
    master = -1;
    EXPECT_EQ(port_write_string(PORT, "lost"), 0);
    EXPECT_EQ(port_output_drained(PORT), 1);  // the queue cannot be read: "drained"
    EXPECT_EQ(drain_on_healthy_port(PORT), DRAIN_LINE_LOST);
}

TEST_F(PtyPort, BytesGoOutExactlyAndComeInUnchanged) {
    ASSERT_EQ(port_open(PORT), 0);
    port_configure(PORT, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
    EXPECT_EQ(port_write_string(PORT, ""), 1);
    EXPECT_EQ(port_write_string(PORT, "Loader"), 1);
    EXPECT_EQ(port_write_byte(PORT, 0), 1);
    EXPECT_EQ(port_write_byte(PORT, 0x141), 1);
    EXPECT_EQ(port_write(PORT, "ab\0c", 4), 1);
    EXPECT_EQ(drain_master(), std::string("Loader\0Aab\0c", 12));
    EXPECT_EQ(port_output_drained(PORT), 1);

    ASSERT_EQ(write(master, "\xc8Z", 2), 2);
    pollfd p{static_cast<int>(port_slot(PORT)->handle), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_EQ(port_input_count(PORT), 0u);  // still with the device
    EXPECT_EQ(port_receive(PORT), 2u);      // taken in one go, as a wait does
    EXPECT_EQ(port_input_count(PORT), 2u);
    EXPECT_EQ(static_cast<unsigned char>(port_read_byte(PORT)), 0xC8);
    EXPECT_EQ(port_read_byte(PORT), 'Z');
    EXPECT_EQ(port_input_count(PORT), 0u);
}

TEST_F(PtyPort, CloseKeepsTheHandleValue) {
    ASSERT_EQ(port_open(PORT), 0);
    const DeviceHandle handle = port_slot(PORT)->handle;
    EXPECT_EQ(port_close(PORT), 1);
    EXPECT_EQ(port_slot(PORT)->handle, handle);
}

uint32_t trace_test_now() { return 0; }

// What the trace says, one entry per line: "-- event" or "tx/rx hex".
std::vector<std::string> traced_lines(const std::string& path) {
    const testbed::Bytes bytes = testbed::read_file(path);
    std::vector<std::string> lines;
    std::string text(bytes.begin(), bytes.end());
    size_t start = text.find('\n') + 1;  // after the header
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        std::string line = text.substr(start + 10, end - start - 10);
        const size_t bar = line.find("  |");
        lines.push_back(bar == std::string::npos ? line : line.substr(0, bar));
        start = end + 1;
    }
    return lines;
}

TEST_F(PtyPort, TraceShowsThePortsLifeAndItsTraffic) {
    testbed::TempDir dir;
    ASSERT_TRUE(trace_start(dir.file("t.log").c_str(), trace_test_now));
    ASSERT_EQ(port_open(PORT), 0);
    port_configure(PORT, 115200, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
    port_write_string(PORT, "Lo");
    port_write_byte(PORT, 0);
    drain_master();
    ASSERT_EQ(write(master, "H\x80", 2), 2);
    pollfd p{static_cast<int>(port_slot(PORT)->handle), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    port_receive(PORT);
    while (port_input_count(PORT) != 0) port_read_byte(PORT);
    // Nothing was waiting in between: a new burst.
    ASSERT_EQ(write(master, "Z", 1), 1);
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    port_receive(PORT);
    while (port_input_count(PORT) != 0) port_read_byte(PORT);
    // A pty keeps 8N; the trace's own look at the device leaves the reason.
    EXPECT_FALSE(port_configure(PORT, 4800, 7, LINE_PARITY_EVEN, LINE_STOP_BITS_TWO));
    EXPECT_EQ(port_last_error(PORT), EINVAL);
    const std::string target = ptsname(master);
    ASSERT_EQ(unlink(link.c_str()), 0);
    EXPECT_EQ(port_reopen(PORT), PORT_NOT_OPENED);
    port_write_string(PORT, "x");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(port_reopen(PORT), 0);
    port_close(PORT);
    trace_stop();
    const std::vector<std::string> expected = {
        "-- open " + link,
        "-- configure 115200 baud 8N1: accepted; flow: crtscts off, clocal on, hupcl off",
        "tx 4c 6f 00",
        "rx 48 80",
        "rx 5a",
        "-- configure 4800 baud 7E2: refused; flow: crtscts off, clocal on, hupcl off",
        "-- re-open " + link + " failed (error 2: No such file or directory)",
        "-- write of 1 bytes failed (error 9)",
        "-- re-open " + link,
        "-- close " + link,
    };
    EXPECT_EQ(traced_lines(dir.file("t.log")), expected);
}

}  // namespace
