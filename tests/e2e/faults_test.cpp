// Faults that must never end in a reported success: the line lost before
// the loader is whole, a program record that does not get out, a dead line
// at the end, and a program file that changes while it is sent.
#include <fcntl.h>
#include <csignal>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

using Pull = sim::LinePull;

// A target whose line can be pulled: it lives at a link fwld re-opens.
sim::TargetConfig pullable(const Inputs& in, std::vector<Pull> pulls) {
    sim::TargetConfig config;
    config.link_path = in.dir.file("ttyFWLD");
    config.pulls = std::move(pulls);
    return config;
}

TEST(LoaderFaults, ALineLostBeforeTheEndMarkerHasDrainedStopsTheRun) {
    struct Case {
        const char* name;
        Pull pull;
        std::vector<std::string> overrides;
        std::vector<std::string> options;
        bool loader_announced;  // "Execute STEP1" went out before the loss
    };
    const Case cases[] = {
        // A paced loader pulled after its third record: the next write fails.
        {"during the loader", Pull::at(Pull::InLoader, 3), {}, {"LD50/1"}, true},
        // Acknowledged, then gone before 'G': the wait for it must not hang.
        {"before G", Pull::at(Pull::BeforeGo, 0, 100ms), {}, {}, false},
        // Gone during the settle delay after 'G': "Loader" cannot be written.
        {"after G", Pull::at(Pull::AfterGo, 0, 100ms), {"", "", "50"}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Inputs in(loader_bytes(30 * 80), program_of(2, 8));
        sim::TargetConfig config = pullable(in, {c.pull});
        sim::SimTarget target(config);
        ASSERT_TRUE(target.start()) << target.last_error();
        const testbed::ProcessResult r =
            testbed::FwldProcess::fwld(quick_args(in, config.link_path, c.overrides, c.options))->finish(10s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(ends_with(r.err, loader_lost)) << r.err;
        EXPECT_EQ(r.err.find("Execute STEP2"), std::string::npos);
        EXPECT_EQ(r.err.find("Execute STEP1\n") != std::string::npos, c.loader_announced) << r.err;
        // Stopped at the first failed write, not after the whole loader.
        EXPECT_LT(count_of(r.err, "% completed.\r"), 10u) << r.err;
        const sim::TargetReport report = target.report();
        EXPECT_TRUE(report.records.empty());
        if (c.pull.where == Pull::InLoader) {
            EXPECT_EQ(report.loader_records.size(), 3u);
        }
    }
}

// The erase countdown after the first 'H' holds fwld between reading the
// 'H' and writing record 1, so a pull 300 ms into it makes that write fail.
// It counts calendar seconds: two of them last at least one second.
struct FailedFirstWrite {
    Inputs in;
    sim::SimTarget target;
    testbed::ProcessResult tool;
    FailedFirstWrite(const std::string& program, char ask)
        : in(loader_bytes(10), program), target(config(in, ask)) {
        EXPECT_TRUE(target.start()) << target.last_error();
        tool = testbed::FwldProcess::fwld(quick_args(in, in.dir.file("ttyFWLD"), {"2"}))->finish(15s);
        if (tool.exit_code == 0) target.wait_done(2s);
    }
    static sim::TargetConfig config(const Inputs& in, char ask) {
        Pull pull = Pull::at(Pull::AfterReady, 1, 300ms, 100ms);
        pull.ask = ask;
        return pullable(in, {pull});
    }
};

TEST(ProgramFaults, AFailedWriteOfTheLastRecordIsNotAFinish) {
    FailedFirstWrite run(program_of(0, 0), 'R');  // the E record alone
    EXPECT_EQ(run.tool.exit_code, 1);
    EXPECT_TRUE(ends_with(run.tool.err, line_lost)) << run.tool.err;
    EXPECT_NE(run.tool.err.find("Erase time 2sec"), std::string::npos);  // the H was read
    EXPECT_EQ(run.tool.err.find("Finish version up."), std::string::npos);
}

TEST(ProgramFaults, AFailedWriteIsMadeGoodByRButNotPassedOverByH) {
    const std::string program = program_of(3, 8);
    FailedFirstWrite again(program, 'R');
    EXPECT_EQ(again.tool.exit_code, 0) << again.tool.err;
    EXPECT_TRUE(ends_with(again.tool.err, finished));
    EXPECT_TRUE(again.target.report().matches(expected_records(program)));

    FailedFirstWrite skipped(program, 'H');
    EXPECT_EQ(skipped.tool.exit_code, 1);
    EXPECT_TRUE(ends_with(skipped.tool.err, line_lost)) << skipped.tool.err;
    EXPECT_TRUE(skipped.target.report().records.empty());  // record 2 never went out in place of 1
}

TEST(ProgramFaults, TheLastDrainOnADeadLineIsNotAFinish) {
    const std::string program = program_of(0, 0);  // one write wait: after the E record
    Inputs in(loader_bytes(10), program);
    sim::SimTarget target({});
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"", "800"}));
    ASSERT_TRUE(target.wait_done(10s));  // the E record is in; fwld sits in its write wait
    target.stop();                       // the line goes before the last drain
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, line_lost)) << r.err;
    EXPECT_EQ(r.err.find("Finish version up."), std::string::npos);
    EXPECT_TRUE(target.report().matches(expected_records(program)));  // every byte did arrive, unconfirmed
}

// A target that hangs with the line held: it asks for many records at once
// and reads nothing more, so fwld's writes stop going anywhere. fwld tells
// the operator once after 5 s, and a key or Ctrl-C still ends the run at once.
struct HeldLine {
    Inputs in{loader_bytes(10), program_of(3000, 126)};
    sim::SimTarget target{held_after_first_record()};
    std::unique_ptr<testbed::FwldProcess> tool;

    static sim::TargetConfig held_after_first_record() {
        sim::TargetConfig config;
        config.actions[1] = {sim::RecordAction::stall(3000)};
        return config;
    }
    HeldLine() {
        EXPECT_TRUE(target.start()) << target.last_error();
        tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    }
    // Presses the key and returns how long fwld took to end after it.
    milliseconds press(char key, testbed::ProcessResult* r) {
        const auto pressed = std::chrono::steady_clock::now();
        tool->press_key(key);
        *r = tool->finish(10s);
        return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - pressed);
    }
};

TEST(ProgramFaults, ALineThatTakesNothingIsToldAndAKeyEndsTheRun) {
    HeldLine held;
    const std::string told = "The line has taken no bytes for 5 s: ";
    ASSERT_TRUE(held.tool->wait_for_err(told, 30s)) << held.tool->err_so_far();
    testbed::ProcessResult r;
    EXPECT_LT(held.press(' ', &r).count(), 2000);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_EQ(count_of(r.err, told), 1u);
    EXPECT_NE(r.err.find(". Still waiting; a key ends the run.\n"), std::string::npos) << r.err;
}

// A key or Ctrl-C is not kept waiting for the notice: either ends the
// stalled write at once.
TEST(ProgramFaults, AKeyOrCtrlCEndsARunWhoseLineTakesNothingAtOnce) {
    for (const char key : {' ', '\x03'}) {
        SCOPED_TRACE(key == ' ' ? "a key" : "Ctrl-C");
        HeldLine held;
        ASSERT_TRUE(held.target.wait_done(20s));
        std::this_thread::sleep_for(1s);  // the line's buffer is full long before
        testbed::ProcessResult r;
        EXPECT_LT(held.press(key, &r).count(), key == ' ' ? 2500 : 2000);
        EXPECT_FALSE(r.timed_out);
        if (key == ' ') {
            EXPECT_EQ(r.exit_code, 1);
            EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
            EXPECT_EQ(r.err.find("The line has taken no bytes"), std::string::npos) << r.err;
        } else if (testbed::ports_are_com_numbers()) {
            EXPECT_EQ(r.exit_code, 58);  // STATUS_CONTROL_C_EXIT's low byte, as Wine passes it on
        } else {
            EXPECT_EQ(r.signal, SIGINT);
        }
    }
}

TEST(ProgramFaults, ALineLostInsideATargetLineIsPickedUpAgain) {
    struct Case {
        const char* started;  // what the target sent before the plug went
        int exit_code;
        const char* ending;
    };
    const Case cases[] = {
        {"Mhalf a messa", 0, finished},
        {"S1152", 0, finished},
        {"N", 1, "\nWrite Error\a\n"},  // the error stands; its detail is lost
    };
    const std::string program = program_of(3, 8);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.started);
        Inputs in(loader_bytes(10), program);
        sim::TargetConfig config = pullable(in, {Pull::at(Pull::AfterRecord, 1, 200ms, 50ms)});
        config.actions[1] = {sim::RecordAction::junk(c.started)};
        sim::SimTarget target(config);
        ASSERT_TRUE(target.start()) << target.last_error();
        const testbed::ProcessResult r = testbed::FwldProcess::fwld(quick_args(in, config.link_path))->finish(10s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_TRUE(ends_with(r.err, c.ending)) << r.err;
        EXPECT_EQ(r.err.find(">>half"), std::string::npos);  // a cut line is not shown
        EXPECT_EQ(r.err.find("bps="), std::string::npos);
        if (c.exit_code == 0) {
            target.wait_done(2s);
            EXPECT_TRUE(target.report().matches(expected_records(program)));
        }
    }
}

// Changes the program file once the target has record 1: fwld is then
// waiting for the 'H' of record 2.
testbed::ProcessResult run_with_change(const std::string& program, std::function<void(int fd, size_t size)> change,
                                       size_t* records_received) {
    Inputs in(loader_bytes(10), program);
    sim::TargetConfig config;
    const std::string path = in.program;
    config.on_event = [&](const std::string& line) {
        if (line.rfind("record 1:", 0) != 0) return;
        const int fd = open(path.c_str(), O_WRONLY);
        change(fd, program.size());
        close(fd);
    };
    sim::SimTarget target(config);
    EXPECT_TRUE(target.start()) << target.last_error();
    testbed::ProcessResult r = testbed::FwldProcess::fwld(quick_args(in, target.device_path()))->finish(15s);
    target.wait_done(1s);
    *records_received = target.report().image_records().size();
    return r;
}

TEST(ProgramFile, AChangeWhileItIsSentStopsTheRun) {
    struct Case {
        const char* name;
        std::string program;
        std::function<void(int, size_t)> change;
        size_t most_records;  // the target got no more than these
    };
    // Well past the stream's buffer (8 KiB at most), so the rewrite is read.
    const std::string large = program_of(200, 100);  // about 20 KiB
    const std::string small = program_of(3, 8);      // one block
    const Case cases[] = {
        {"truncated to half", large, [](int fd, size_t size) { EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size / 2)), 0); },
         45},
        {"rewritten in place, same size", large,
         [](int fd, size_t size) { EXPECT_EQ(pwrite(fd, "\x7f", 1, static_cast<off_t>(size - 300)), 1); }, 201},
        {"appended to", small, [](int fd, size_t size) { EXPECT_EQ(pwrite(fd, "S\x01x", 3, static_cast<off_t>(size)), 3); },
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t records = 0;
        const testbed::ProcessResult r = run_with_change(c.program, c.change, &records);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(ends_with(r.err, file_changed)) << r.err;
        EXPECT_EQ(r.err.find("Finish version up."), std::string::npos);
        EXPECT_LE(records, c.most_records);
    }
}

}  // namespace
}  // namespace e2e
