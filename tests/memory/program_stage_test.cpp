// The program stage in-process over the memory device: faults in the middle
// of the target's commands, and the ways the run ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "device_memory.h"
#include "idle_wait.h"
#include "keyboard_memory.h"
#include "run_harness.h"
#include "run_record.h"
#include "stages.h"
#include "testbed.h"

namespace {

using testbed::count_of;
using testbed::ends_with;

const std::string records[] = {std::string("S\x03\x10\x20\x30", 5), std::string("S\x01\x41", 3), "E"};

RunSettings settings;
RunFiles files;
int silent_sleeps = 0;
int sleeps = 0;

// A target that has gone quiet for good, or a run that makes no headway:
// the operator presses a key.
void press_when_silent(uint32_t) {
    const bool silent = memory_device_input_waiting() == 0 && ++silent_sleeps >= 5;
    if (silent || ++sleeps > 1000) keyboard_memory_press();
}

class ProgramStage : public ::testing::Test {
protected:
    std::string path;
    std::string console;
    char arg_path[64] = {};

    void SetUp() override {
        memory_device_reset();
        keyboard_memory_reset();
        harness::manual_clock_install(0);
        harness::manual_clock_on_sleep(press_when_silent);
        silent_sleeps = 0;
        sleeps = 0;
        std::snprintf(arg_path, sizeof arg_path, "/tmp/fwld-memory-%ld.rec", static_cast<long>(getpid()));
        path = arg_path;
        FILE* out = std::fopen(arg_path, "wb");
        ASSERT_NE(out, nullptr);
        for (const std::string& r : records) std::fwrite(r.data(), 1, r.size(), out);
        std::fclose(out);
        char* argv[] = {const_cast<char*>("fwld"), arg_path, arg_path, const_cast<char*>("0"),
                        const_cast<char*>("0"), const_cast<char*>("1"), const_cast<char*>("0"),
                        const_cast<char*>("2:9600")};
        ASSERT_EQ(parse_command_line(8, argv, &settings), nullptr);
        ASSERT_EQ(port_open(settings.port_number), 0);
        port_configure(settings.port_number, 9600, 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE);
        watch_line_stalls();
        files.loader_fd = open(arg_path, O_RDONLY);
        files.program = std::fopen(arg_path, "rb");
        ASSERT_TRUE(files.loader_fd >= 0 && files.program != nullptr);
        files.loader_size = files.program_size = 9;
        char refusal[128];
        ASSERT_TRUE(check_program_file(files.program, "p.hex", &files.program_checked, refusal, sizeof refusal)) << refusal;
    }
    void TearDown() override {
        if (files.program != nullptr) std::fclose(files.program);
        if (files.loader_fd >= 0) close(files.loader_fd);
        files = RunFiles{};
        harness::manual_clock_remove();
        unlink(path.c_str());
    }
    harness::Ended run() {
        harness::console_capture_begin();
        const harness::Ended outcome = harness::end_as_main_does(settings, send_program(settings, &files));
        size_t length = 0;
        const char* text = harness::console_capture_end(&length);
        console.assign(text, length);
        return outcome;
    }
    // The result log of the run to come, in a file of the test's own.
    std::string log_path;
    void start_log() {
        log_path = path + ".jsonl";
        unlink(log_path.c_str());
        settings.log_path = log_path.c_str();
        char refusal[256];
        ASSERT_TRUE(record_start(settings, refusal, sizeof refusal)) << refusal;
    }
    std::map<std::string, std::string> logged() {
        std::ifstream in(log_path);
        std::string line;
        std::getline(in, line);
        unlink(log_path.c_str());
        return testbed::json_members(line);
    }
    std::string wire() {
        size_t count = 0;
        const unsigned char* bytes = memory_device_output(&count);
        return std::string(reinterpret_cast<const char*>(bytes), count);
    }
};

TEST_F(ProgramStage, TargetErrorEndsTheRunWithThePortClosedAndStatusOne) {
    memory_device_send("HE", 2);
    const harness::Ended outcome = run();
    EXPECT_EQ(outcome.end, RUN_STOPPED);
    EXPECT_EQ(outcome.kind, STOP_TARGET_ERROR);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(console.find("\nErase Error1\a\n"), std::string::npos) << console;
    EXPECT_EQ(memory_device_counts().closes, 1u);
    EXPECT_EQ(wire(), records[0]);
}

TEST_F(ProgramStage, ReopenedPortKeepsTheTargetsSpeed) {
    const std::string target = "HS57600,8,N,1,x\nHH";
    memory_device_send(target.data(), target.size());
    memory_device_unplug(16, 3);  // right after the speed line
    const harness::Ended outcome = run();
    EXPECT_EQ(outcome.end, RUN_FINISHED);
    EXPECT_EQ(outcome.status, 0) << console;
    EXPECT_EQ(memory_device_line()->baud, 57600u);
    EXPECT_EQ(wire(), records[0] + records[1] + records[2]);
}

// The rest of a line cut by an unplug never comes: the line is given up,
// the port re-opened, and what follows is read as commands again.
TEST_F(ProgramStage, DeviceLostInsideAMessageLineGivesTheLineUpAndTheRunGoesOn) {
    const std::string target = "HMfla-ok\nHH";
    memory_device_send(target.data(), target.size());
    memory_device_unplug(4, 2);  // after "HMfl"
    const harness::Ended outcome = run();
    EXPECT_EQ(outcome.end, RUN_FINISHED);
    EXPECT_EQ(outcome.status, 0) << console;
    EXPECT_EQ(console.find(">>"), std::string::npos) << console;
    EXPECT_EQ(wire(), records[0] + records[1] + records[2]);
    EXPECT_GE(memory_device_counts().opens, 2u);
}

// The target has switched when the port refuses its speed: nothing after
// that could arrive intact, so the run stops with the rate and the reason.
// A device that is gone refuses too, but the re-open brings the speed back
// (above); at the start the same refusal stops the run before the wake-up.
TEST_F(ProgramStage, ARefusedSpeedChangeStopsTheRunNamingTheRate) {
    const std::string target = "HS57600,8,N,1,x\nH";
    memory_device_send(target.data(), target.size());
    memory_device_fail(FAULT_APPLY_SETTINGS, 0, 1);
    const harness::Ended outcome = run();
    EXPECT_EQ(outcome.end, RUN_STOPPED);
    EXPECT_EQ(outcome.kind, STOP_LINE_FAILED);
    EXPECT_EQ(outcome.status, 1);
    const std::string reason = std::strerror(EIO);  // the memory device's refusal
    EXPECT_NE(console.find("\nThe port refused 57600 baud (" + reason + ")"), std::string::npos) << console;
    EXPECT_NE(console.find("), the speed the target has switched to: nothing after this can arrive intact.\n"),
              std::string::npos) << console;
    EXPECT_EQ(console.find("bps="), std::string::npos) << console;
    EXPECT_EQ(memory_device_counts().closes, 1u);
    EXPECT_EQ(wire(), records[0]);

    port_close(settings.port_number);
    memory_device_fail(FAULT_APPLY_SETTINGS, 0, 1);
    harness::console_capture_begin();
    RunFiles started{};
    const harness::Ended start = harness::end_as_main_does(settings, start_run(settings, &started));
    size_t length = 0;
    const char* text = harness::console_capture_end(&length);
    const std::string said(text, length);

    EXPECT_EQ(start.end, RUN_STOPPED);
    EXPECT_EQ(start.status, 1);
    EXPECT_NE(said.find("\nThe port refused 9600 baud (" + reason + ")"), std::string::npos) << said;
    EXPECT_EQ(said.find("TARGET POWER ON."), std::string::npos) << said;
}

// A write the line does not take: the operator hears of it once, 5 s (20
// slices of 250 ms) into the stall, and not for a shorter one; without a key
// the write goes through when the line moves again.
void stall_the_next_write_shorter(const unsigned char*, uint32_t, bool) {
    memory_device_watch_writes(nullptr);
    memory_device_stall_writes(19);
}

TEST_F(ProgramStage, AStalledWriteIsToldOnceFiveSecondsIn) {
    const std::string told = "The line has taken no bytes for 5 s: the memory line is held. Still waiting; a key "
                             "ends the run.\n";
    memory_device_send("HHH", 3);
    memory_device_stall_writes(20);
    memory_device_watch_writes(stall_the_next_write_shorter);
    const harness::Ended through = run();
    EXPECT_EQ(through.status, 0) << console;
    EXPECT_EQ(count_of(console, told), 1u) << console;
    // Told before record 1 went out.
    EXPECT_LT(console.find(told), console.find("% completed", console.find("Execute STEP2"))) << console;
    EXPECT_EQ(wire(), records[0] + records[1] + records[2]);
}

// A key gives up a write the line does not take, and a drain that does not
// move: the run ends as an interruption, the stuck bytes dropped.
TEST_F(ProgramStage, AKeyEndsAWriteOrADrainTheLineDoesNotTake) {
    start_log();
    memory_device_send("HHH", 3);
    memory_device_stall_writes(1000);
    keyboard_memory_press_at_poll(30);
    memory_device_hold_output(80);
    EXPECT_EQ(run().status, 1);
    EXPECT_EQ(count_of(console, "The line has taken no bytes for 5 s"), 1u) << console;
    EXPECT_TRUE(ends_with(console, "Interruption.          \a\n")) << console;
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(memory_device_discards(), 1u);
    EXPECT_EQ(memory_device_counts().closes, 1u);
    // The record the key gave up never went out, and is not counted.
    const auto line = logged();
    EXPECT_EQ(line.at("records_sent"), "0");
    EXPECT_EQ(line.at("bytes_sent"), "0");
    EXPECT_EQ(line.at("outcome"), "\"interrupted\"");
}

TEST_F(ProgramStage, AKeyEndsTheLastDrainWhenTheLineTakesNothingMore) {
    start_log();
    memory_device_send("HHH", 3);
    memory_device_hold_output(80);
    harness::manual_clock_on_sleep([](uint32_t) {
        if (harness::manual_clock_elapsed_ms() > 8000) keyboard_memory_press();
    });
    EXPECT_EQ(run().status, 1);
    EXPECT_EQ(count_of(console, "The line has taken no bytes for 5 s"), 1u) << console;
    EXPECT_TRUE(ends_with(console, "Interruption.          \a\n")) << console;
    EXPECT_EQ(console.find("Finish"), std::string::npos);
    EXPECT_EQ(wire(), records[0] + records[1] + records[2]);
    EXPECT_EQ(memory_device_discards(), 1u);
    const auto line = logged();
    EXPECT_EQ(line.at("records_sent"), "3");
    EXPECT_EQ(line.at("bytes_sent"), std::to_string(wire().size()));
    EXPECT_EQ(line.at("stage"), "\"done\"");
}

}  // namespace

namespace {

// A target that asks for one record and falls silent. Without TO the wait
// goes on, told once 10 s in; with TO it ends the run TO after the last byte.
TEST_F(ProgramStage, ASilentTargetIsToldOfOnceOrEndsTheRunAfterTO) {
    const std::string told = "The target has sent nothing for 10 s. Still waiting for its next command; a key ends "
                             "the run.\n";
    memory_device_send("H", 1);
    harness::manual_clock_on_sleep([](uint32_t) {
        if (harness::manual_clock_elapsed_ms() > 35000) keyboard_memory_press();
    });
    harness::Ended ended = run();
    EXPECT_EQ(ended.end, RUN_INTERRUPTED);
    EXPECT_EQ(count_of(console, told), 1u) << console;
    EXPECT_EQ(wire(), records[0]);

    TearDown();
    SetUp();
    settings.silence_limit = 2;
    memory_device_send("H", 1);
    harness::manual_clock_on_sleep([](uint32_t) {
        if (harness::manual_clock_elapsed_ms() > 60000 || ++sleeps > 10000) keyboard_memory_press();
    });
    const uint64_t silent_from = harness::manual_clock_elapsed_ms();
    ended = run();
    EXPECT_EQ(ended.end, RUN_STOPPED);
    EXPECT_EQ(ended.kind, STOP_TARGET_SILENT);
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(harness::manual_clock_elapsed_ms() - silent_from, 2000u);  // not a tick before, nor after
    EXPECT_TRUE(ends_with(console, "\nProgram stage: the target has sent nothing for 2 s while fwld waited for its "
                                   "next command after record 1 of 3.\a\n"))
        << console;
    EXPECT_EQ(console.find(told), std::string::npos) << console;
    EXPECT_EQ(memory_device_counts().closes, 1u);
}

}  // namespace
