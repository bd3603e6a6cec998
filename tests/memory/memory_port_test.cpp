// The port table over the memory device: the faults a pty cannot produce on
// demand (a settings query that fails, a queue status that cannot be read).
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "device_memory.h"
#include "port_slot.h"

namespace {

constexpr int PORT = 4;

class MemoryPort : public ::testing::Test {
protected:
    void SetUp() override { memory_device_reset(); }
    void TearDown() override { port_close(PORT); }
};

TEST_F(MemoryPort, SettingsQueryFailingAtOpenIsReportedAndTheHandleStaysOpen) {
    memory_device_fail(FAULT_READ_SETTINGS, 0, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_open(PORT), PORT_NOT_OPENED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "LastError=" + std::to_string(EIO) + "\n");
    EXPECT_NE(port_slot(PORT)->handle, INVALID_DEVICE);
    EXPECT_EQ(memory_device_counts().opens, 1u);
    EXPECT_EQ(memory_device_counts().closes, 0u);
}

TEST_F(MemoryPort, ReopenAppliesTheSavedSpeedOnlyOnceTheDeviceAnswers) {
    ASSERT_EQ(port_open(PORT), 0);
    port_configure(PORT, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
    port_configure(PORT, 115200, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);  // the target's speed change
    memory_device_unplug(0, 0);
    EXPECT_EQ(port_is_healthy(PORT), 0);

    memory_device_fail(FAULT_READ_SETTINGS, 0, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(port_reopen(PORT), PORT_NOT_OPENED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(memory_device_line()->baud, 9600u) << "settings applied to a device that did not answer";

    EXPECT_EQ(port_reopen(PORT), 0);
    EXPECT_EQ(port_is_healthy(PORT), 1);
    EXPECT_EQ(memory_device_line()->baud, 115200u);
    EXPECT_EQ(memory_device_counts().misuses, 0u);
}

TEST_F(MemoryPort, UnreadableQueueStatusMeansNothingWaitingAndNothingToDrain) {
    ASSERT_EQ(port_open(PORT), 0);
    ASSERT_TRUE(memory_device_send("AB", 2));
    memory_device_fail(FAULT_QUEUE_STATUS, 0, 2);
    ASSERT_EQ(port_is_healthy(PORT), 1);
    EXPECT_EQ(port_receive(PORT), 0u);
    EXPECT_FALSE(port_known_healthy(PORT));  // the next health test asks the device again
    EXPECT_EQ(port_input_count(PORT), 0u);
    EXPECT_EQ(port_output_drained(PORT), 1);
    EXPECT_EQ(port_receive(PORT), 1u);  // the memory line hands over a byte per read
    EXPECT_EQ(port_receive(PORT), 2u);
    EXPECT_TRUE(port_known_healthy(PORT));
    EXPECT_EQ(port_input_count(PORT), 2u);
    EXPECT_EQ(port_read_byte(PORT), 'A');
    EXPECT_EQ(port_read_byte(PORT), 'B');
    EXPECT_EQ(port_input_count(PORT), 0u);
}

}  // namespace
