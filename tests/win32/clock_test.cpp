// The run's millisecond tick on Windows, and COM numbers above the port
// table. Run under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <vector>

#include "clock.h"
#include "console.h"
#include "restore.h"
#include "settings.h"
#include "stages.h"

namespace {

// A tick that moves in the 15.6 ms steps of GetTickCount, over a virtual
// time that the waits' sleeps advance.
uint64_t virtual_us = 0;
uint32_t stepped_tick() { return static_cast<uint32_t>(virtual_us / 15625 * 15625 / 1000); }
int32_t stepped_calendar() { return static_cast<int32_t>(virtual_us / 1000000); }
void virtual_sleep(uint32_t ms) { virtual_us += ms * 1000ull; }
uint32_t virtual_to_next_second() { return static_cast<uint32_t>((1000000 - virtual_us % 1000000 + 999) / 1000); }

double seconds_now() {
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// What a coarse tick does to the short waits of the run: a 2 ms write wait
// lasts until the tick moves, a whole step.
TEST(Clock, ACoarseTickStretchesAShortWaitToAWholeStep) {
    const ClockSource stepped = {stepped_tick, stepped_calendar, virtual_sleep, virtual_to_next_second};
    clock_install(&stepped);
    virtual_us = 1000;
    wait_ms(2);
    const uint64_t waited_us = virtual_us - 1000;
    clock_install(nullptr);
    EXPECT_GE(waited_us, 14000u);
}

// The run's own tick moves in milliseconds: its 2 ms wait takes about 2 ms.
TEST(Clock, TheSystemTickKeepsAShortWaitShort) {
    console_prepare();  // the 1 ms timer period of the run
    std::vector<double> took;
    for (int i = 0; i < 21; ++i) {
        const double start = seconds_now();
        wait_ms(2);
        took.push_back((seconds_now() - start) * 1000.0);
    }
    std::nth_element(took.begin(), took.begin() + 10, took.end());
    EXPECT_GE(took[10], 1.0);
    EXPECT_LT(took[10], 8.0);  // a 15.6 ms tick makes it 15 or 16
}

TEST(ComPorts, NumbersAboveTheTableNameTheirDeviceDirectly) {
    struct Case {
        const char* p5;
        int port;
        const char* path;
    };
    const Case cases[] = {
        {"COM31", 31, ""},
        {"COM32:115200", 1, "\\\\.\\COM32"},
        {"com256", 1, "\\\\.\\COM256"},
        {"40", 40, ""},  // a bare number keeps to the table: no slot, refused at open
    };
    for (const Case& c : cases) {
        char* argv[] = {const_cast<char*>("fwld"), const_cast<char*>("l"), const_cast<char*>("p"),
                        const_cast<char*>("1"),    const_cast<char*>("2"), const_cast<char*>("3"),
                        const_cast<char*>("4"),    const_cast<char*>(c.p5)};
        RunSettings settings{};
        ASSERT_EQ(parse_command_line(8, argv, &settings), nullptr) << c.p5;
        EXPECT_EQ(settings.port_number, c.port) << c.p5;
        EXPECT_STREQ(settings.port_path, c.path) << c.p5;
    }
}

// Ctrl-C on Windows is a wake result, not an exit: every wait ends at once,
// it counts as a key, and the run ends through its own end with the status
// Windows gives a program so ended.
TEST(Break, ItWakesTheWaitsAndTheRunEndsThroughItsEnd) {
    restore_install(nullptr);
    restore_break_now();
    const double start = seconds_now();
    wait_ms(5000);
    EXPECT_FALSE(erase_countdown(5));
    EXPECT_TRUE(key_waiting_now());
    EXPECT_LT(seconds_now() - start, 1.0);
    RunSettings settings{};
    settings.port_number = 1;
    EXPECT_EQ(static_cast<DWORD>(end_run(settings, run_ended(RUN_INTERRUPTED))), STATUS_CONTROL_C_EXIT);
    EXPECT_STREQ(restore_ending_cause(), "Ctrl-C");
    ResetEvent(reinterpret_cast<HANDLE>(restore_wake_handle()));  // for the tests after this one
}

}  // namespace
