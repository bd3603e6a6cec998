// A key during the wake-up ends the run: the port is closed and the process
// ends with status 1 (here the harness takes the end over).
#include <gtest/gtest.h>

#include <string>

#include "device_memory.h"
#include "keyboard_memory.h"
#include "run_harness.h"
#include "stages.h"

namespace {

RunSettings settings;

int wake(void*) {
    wake_target(settings);
    return 0;
}

TEST(WakeUp, KeyDuringThePasswordsClosesThePortAndEndsWithStatusOne) {
    memory_device_reset();
    keyboard_memory_reset();
    harness::manual_clock_install(0);
    char* argv[] = {const_cast<char*>("fwld"), const_cast<char*>("l"), const_cast<char*>("p"),
                    const_cast<char*>("0"),    const_cast<char*>("0"), const_cast<char*>("100"),
                    const_cast<char*>("0"),    const_cast<char*>("3")};
    ASSERT_EQ(parse_command_line(8, argv, &settings), nullptr);
    ASSERT_EQ(port_open(3), 0);
    keyboard_memory_press_at_poll(3);

    const harness::RunOutcome outcome = harness::run_guarded(wake, nullptr);
    harness::manual_clock_remove();

    EXPECT_TRUE(outcome.ended_process);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(memory_device_counts().closes, 1u);
    size_t count = 0;
    const char* wire = reinterpret_cast<const char*>(memory_device_output(&count));
    EXPECT_EQ(std::string(wire, count).rfind("$PZKW,cprst,0*40\r\nWake up now.", 0), 0u);
}

}  // namespace
