// A key during the wake-up ends the run: the port is closed and the run
// ends with status 1, nothing said.
#include <gtest/gtest.h>

#include <string>

#include "device_memory.h"
#include "keyboard_memory.h"
#include "run_harness.h"
#include "stages.h"

namespace {

RunSettings settings;

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

    const harness::Ended ended = harness::end_as_main_does(settings, wake_target(settings));
    harness::manual_clock_remove();

    EXPECT_EQ(ended.end, RUN_ABANDONED);
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(memory_device_counts().closes, 1u);
    size_t count = 0;
    const char* wire = reinterpret_cast<const char*>(memory_device_output(&count));
    EXPECT_EQ(std::string(wire, count).rfind("$PZKW,cprst,0*40\r\nWake up now.", 0), 0u);
}

}  // namespace
