// A key during the wake-up ends the run: the port is closed and the run
// ends with status 1, nothing said.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

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

namespace {

// ---- RS: the adapter's lines ----

struct LineRun {
    harness::Ended ended;
    std::string console;
    std::string wire;
    std::vector<MemoryLineChange> changes;
    uint32_t start_tick;
};

// wake_target (or, given `ending`, the end of a run) with the RS option
// `rs`, the target's answer already on the line; `arrange` readies the
// device or the keyboard.
LineRun run_lines(const std::string& rs, const RunOutcome* ending = nullptr, void (*arrange)() = nullptr) {
    memory_device_reset();
    keyboard_memory_reset();
    if (arrange != nullptr) arrange();
    harness::manual_clock_install(5000);
    std::string option = rs;
    char* argv[] = {const_cast<char*>("fwld"), const_cast<char*>("l"), const_cast<char*>("p"),
                    const_cast<char*>("0"),    const_cast<char*>("0"), const_cast<char*>("10"),
                    const_cast<char*>("0"),    const_cast<char*>("3"), const_cast<char*>("0"),
                    option.data()};
    EXPECT_EQ(parse_command_line(10, argv, &settings), nullptr);
    EXPECT_EQ(port_open(3), 0);
    memory_device_send("Ready ok.G", 10);
    LineRun run{};
    run.start_tick = 5000;
    harness::console_capture_begin();
    run.ended = harness::end_as_main_does(settings, ending != nullptr ? *ending : wake_target(settings));
    size_t length = 0;
    run.console = harness::console_capture_end(&length);
    harness::manual_clock_remove();
    size_t count = 0;
    const unsigned char* wire = memory_device_output(&count);
    run.wire.assign(reinterpret_cast<const char*>(wire), count);
    int changes = 0;
    const MemoryLineChange* change = memory_device_line_changes(&changes);
    run.changes.assign(change, change + changes);
    return run;
}

// The entry steps run before the first byte of the reset sentence, each wait
// its full length on the tick, and the lines stay as they were left.
TEST(WakeUp, TheEntryLinesComeBeforeTheResetSentenceOnTime) {
    const LineRun run = run_lines("RS-dtr,100,dtr,250,-rts:rts");
    EXPECT_EQ(run.ended.end, RUN_GOES_ON);
    ASSERT_EQ(run.changes.size(), 3u);
    const MemoryLineChange expected[] = {{MODEM_DTR, false, 0, 5000}, {MODEM_DTR, true, 0, 5100},
                                         {MODEM_RTS, false, 0, 5350}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(run.changes[i].line, expected[i].line) << i;
        EXPECT_EQ(run.changes[i].on, expected[i].on) << i;
        EXPECT_EQ(run.changes[i].written_before, 0u) << i;
        EXPECT_EQ(run.changes[i].tick_ms - run.start_tick, expected[i].tick_ms - 5000) << i;
    }
    EXPECT_EQ(run.wire.rfind("$PZKW,cprst,0*40\r\n", 0), 0u) << run.wire;
    // A re-open puts the lines back as the steps left them, and a speed
    // change keeps them so.
    ASSERT_EQ(port_reopen(3), PORT_OPENED);
    EXPECT_EQ(memory_device_line()->dtr_control, LINE_DTR_ON);
    EXPECT_EQ(memory_device_line()->rts_control, LINE_RTS_OFF);
    run_lines("RSrts");
    ASSERT_TRUE(port_configure(3, 57600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE));
    EXPECT_EQ(memory_device_line()->rts_control, LINE_RTS_ON);
}

TEST(WakeUp, AKeyDuringAnEntryWaitOrALineThatCannotBeSetEndsTheRunBeforeAnyByte) {
    LineRun run = run_lines("RS-dtr,1000,dtr", nullptr, [] { keyboard_memory_press_at_poll(2); });
    EXPECT_EQ(run.ended.end, RUN_ABANDONED);
    EXPECT_EQ(run.ended.status, 1);
    EXPECT_EQ(run.changes.size(), 1u);
    EXPECT_EQ(run.wire, "");

    run = run_lines("RS:-rts,10,rts", nullptr, [] { memory_device_fail(FAULT_MODEM_LINES, 0, 1000); });
    EXPECT_EQ(run.ended.end, RUN_STOPPED);
    EXPECT_EQ(run.ended.kind, STOP_LINE_FAILED);
    EXPECT_EQ(run.wire, "");
    EXPECT_TRUE(run.changes.empty());
    EXPECT_NE(run.console.find(std::string(": RTS can not be set: ") + std::strerror(ENOTTY) + "."), std::string::npos)
        << run.console;
}

// The exit steps restart a finished board, on its drained line, before the
// close; a run that did not finish leaves the board in its loader.
TEST(WakeUp, TheExitLinesFollowAFinishedUpdateAlone) {
    const RunOutcome finished = run_ended(RUN_FINISHED);
    LineRun run = run_lines("RS:-dtr,50,dtr", &finished);
    EXPECT_EQ(run.ended.status, 0);
    ASSERT_EQ(run.changes.size(), 2u);
    EXPECT_EQ(run.changes[1].tick_ms - run.changes[0].tick_ms, 50u);
    EXPECT_NE(run.console.find("Finish version up."), std::string::npos);
    const RunOutcome stopped = run_stopped(STOP_TARGET_ERROR, "Write Error\a", true);
    run = run_lines("RS:-dtr,50,dtr", &stopped);
    EXPECT_TRUE(run.changes.empty());
}

}  // namespace
