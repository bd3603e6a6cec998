// The line pulled and put back again and again, at random points of the
// wake-up and the program stage: the image must still arrive byte for byte,
// and fwld must sleep while the device is gone.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>

#include "e2e_support.h"

namespace e2e {
namespace {

using Pull = sim::LinePull;

// FWLD_STORM_SEED repeats a run; otherwise every run tries new points.
uint64_t storm_seed() {
    const char* fixed = std::getenv("FWLD_STORM_SEED");
    if (fixed != nullptr && *fixed != '\0') return std::strtoull(fixed, nullptr, 10);
    return (static_cast<uint64_t>(std::random_device{}()) << 32) | std::random_device{}();
}

long pick(std::mt19937_64& rng, long low, long high) { return std::uniform_int_distribution<long>(low, high)(rng); }

// n distinct numbers from low..high.
std::vector<int> distinct(std::mt19937_64& rng, size_t n, int low, int high) {
    std::set<int> chosen;
    while (chosen.size() < n) chosen.insert(static_cast<int>(pick(rng, low, high)));
    return {chosen.begin(), chosen.end()};
}

// S records of random sizes, each told apart by its first data byte (the
// target recognises a repeated record by its content), then the E record.
std::string storm_program(std::mt19937_64& rng, int records, std::vector<int>* sizes) {
    std::string file;
    for (int k = 1; k <= records; ++k) {
        const int size = static_cast<int>(pick(rng, 1, 126));
        sizes->push_back(size);
        file += 'S';
        file += static_cast<char>(size);
        file += static_cast<char>(k);
        for (int i = 1; i < size; ++i) file += static_cast<char>(pick(rng, 0, 255));
        file += "\r\n";
    }
    return file + "E\r\n";
}

TEST(UnplugStorm, TwentyPullsAtRandomPointsStillGiveAByteExactImage) {
    constexpr int PULLS = 20;
    constexpr int RECORDS = 40;
    const uint64_t seed = storm_seed();
    SCOPED_TRACE("storm seed " + std::to_string(seed) + " (FWLD_STORM_SEED=" + std::to_string(seed) + " repeats it)");
    std::mt19937_64 rng(seed);
    std::vector<int> sizes;
    const std::string program = storm_program(rng, RECORDS, &sizes);
    Inputs in(loader_bytes(250), program);

    sim::TargetConfig config;
    config.link_path = in.dir.file("ttyFWLD");
    config.replug_settle = 20ms;
    auto some_ms = [&](long low, long high) { return milliseconds(pick(rng, low, high)); };
    // Wake-up: pulled at random moments after some passwords (every 20 ms).
    const size_t wake_pulls = static_cast<size_t>(pick(rng, 5, 8));
    const std::vector<int> passwords = distinct(rng, wake_pulls, 1, static_cast<int>(2 * wake_pulls));
    for (int n : passwords) config.pulls.push_back(Pull::at(Pull::AfterPassword, n, some_ms(0, 40), some_ms(10, 80)));
    config.ack_after_passwords = passwords.back() + static_cast<int>(pick(rng, 1, 3));
    // Program stage: after a record, inside one, or after the 'H' for one.
    for (int k : distinct(rng, PULLS - wake_pulls, 1, RECORDS)) {
        const long kind = pick(rng, k == 1 ? 1 : 0, 2);
        const milliseconds gap = some_ms(10, 80);
        if (kind == 0) {
            config.pulls.push_back(Pull::at(Pull::AfterReady, k, some_ms(0, 10), gap));
        } else if (kind == 1) {
            const size_t length = static_cast<size_t>(sizes[static_cast<size_t>(k - 1)]) + 2;
            config.pulls.push_back(Pull::in_record(k, static_cast<size_t>(pick(rng, 1, static_cast<long>(length) - 1)), gap));
        } else {
            config.pulls.push_back(Pull::at(Pull::AfterRecord, k, {}, gap));
        }
    }
    EventLog log;
    config.on_event = log.recorder();
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    const testbed::ProcessResult r = testbed::FwldProcess::fwld(quick_args(in, config.link_path))->finish(60s);
    target.wait_done(5s);
    const sim::TargetReport report = target.report();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(ends_with(r.err, finished));
    EXPECT_EQ(report.replugs, PULLS);
    EXPECT_TRUE(report.matches(expected_records(program)))
        << ::testing::PrintToString(report.framing_errors) << "\n" << log.text();
    EXPECT_EQ(report.image_records().size(), static_cast<size_t>(RECORDS + 1));
}

TEST(UnplugStorm, WhileTheDeviceIsGoneFwldSleepsAndAKeyStillEndsTheRun) {
    Inputs in(loader_bytes(10), program_of(6, 16));
    EventLog log;
    sim::TargetConfig config;
    config.link_path = in.dir.file("ttyFWLD");
    config.on_event = log.recorder();
    config.ack_after_passwords = 3;
    config.pulls = {Pull::at(Pull::AfterPassword, 2, {}, 1500ms), Pull::in_record(2, 5, 1500ms),
                    Pull::at(Pull::AfterReady, 4, {}, 30s)};
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, config.link_path));
    // One second in the middle of a gap: fwld retries the open at its pace.
    auto cpu_while_gone = [&](const std::string& pulled) {
        EXPECT_TRUE(log.wait_for("unplugged " + pulled, 10s)) << log.text();
        std::this_thread::sleep_for(150ms);
        const double before = testbed::cpu_seconds(tool->pid());
        std::this_thread::sleep_for(1000ms);
        return testbed::cpu_seconds(tool->pid()) - before;
    };
    const double waking = cpu_while_gone("after password 2");
    const double sending = cpu_while_gone("after 5 byte(s) of record 2");
    std::printf("fwld processor time during 1 s without the device: wake-up %.3f s, program %.3f s\n", waking,
                sending);
    RecordProperty("cpu_ms_gone_wakeup", static_cast<int>(waking * 1000));
    RecordProperty("cpu_ms_gone_program", static_cast<int>(sending * 1000));
    // A core spinning on a hung-up descriptor would show about 1 s here.
    EXPECT_LT(waking, 0.1);
    EXPECT_LT(sending, 0.1);

    ASSERT_TRUE(log.wait_for("unplugged while waiting for record 4", 10s)) << log.text();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(tool->wait_exit(10ms));
    tool->press_key(' ');
    const testbed::ProcessResult r = tool->finish(5s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_EQ(target.report().replugs, 2);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// ---- ending signals ----

// The signal that ends a run here: SIGTERM, or Ctrl-C on fwld.exe's console.
void end_by_signal(testbed::FwldProcess& tool) {
    if (testbed::ports_are_com_numbers()) {
        tool.press_key('\x03');
    } else {
        tool.kill(SIGTERM);
    }
}

// An ending signal wakes whatever fwld waits on: the run ends at once, with
// its record, however long the wait would have lasted. (A stalled write:
// ProgramFaults.)
TEST(EndingSignal, EveryWaitEndsAtOnce) {
    struct Case {
        const char* name;
        std::function<void(sim::TargetConfig&)> target;
        std::vector<std::string> overrides;
        const char* waiting;  // the target's step line, or fwld's console text, once fwld waits
        bool on_console;
    };
    const Case cases[] = {
        {"the wait for G", [](sim::TargetConfig& c) { c.never_g = true; }, {}, "acknowledged", false},
        {"the erase countdown", [](sim::TargetConfig&) {}, {"60"}, "Erase time 1sec", true},
        {"the re-open loop", [](sim::TargetConfig& c) { c.pulls = {Pull::at(Pull::AfterRecord, 1, {}, 30s)}; }, {},
         "unplugged", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Inputs in(loader_bytes(100), program_of(60, 120));
        const std::string log = in.dir.file("runs.jsonl");
        EventLog steps;
        sim::TargetConfig config;
        config.link_path = in.dir.file("ttyFWLD");
        config.on_event = steps.recorder();
        c.target(config);
        sim::SimTarget target(config);
        ASSERT_TRUE(target.start()) << target.last_error();
        auto tool = testbed::FwldProcess::fwld(quick_args(in, config.link_path, c.overrides, {"LG" + log}));
        if (c.on_console) {
            ASSERT_TRUE(tool->wait_for_err(c.waiting, 20s)) << tool->err_so_far();
        } else {
            ASSERT_TRUE(steps.wait_for(c.waiting, 20s)) << steps.text();
        }
        std::this_thread::sleep_for(300ms);  // well inside the wait
        ASSERT_FALSE(tool->wait_exit(0ms));
        const auto signalled = std::chrono::steady_clock::now();
        end_by_signal(*tool);
        ASSERT_TRUE(tool->wait_exit(1500ms)) << tool->err_so_far();
        const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - signalled);
        std::printf("%s: ended %lld ms after the signal\n", c.name, static_cast<long long>(took.count()));
        const std::vector<std::string> lines = log_lines(log);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(testbed::json_members(lines[0]).at("outcome"), "\"signal\"") << lines[0];
        target.stop();
    }
}

// Started with SIGHUP ignored (nohup), fwld leaves it so: closing the
// terminal does not end an update half-way through the flash.
TEST(EndingSignal, ASignalIgnoredAtTheStartStaysIgnored) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows programs get no POSIX signals";
    const std::string program = program_of(40, 60);
    Inputs in(loader_bytes(100), program);
    EventLog steps;
    sim::TargetConfig config;
    config.on_event = steps.recorder();
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    testbed::FwldProcess tool(testbed::with_args(
        testbed::with_args({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" \"$@\""}, testbed::fwld_command()),
        quick_args(in, target.device_path(), {"", "20"})));
    ASSERT_TRUE(steps.wait_for("record 3:", 20s)) << steps.text();
    tool.kill(SIGHUP);
    const testbed::ProcessResult r = tool.finish(30s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(target.wait_done(5s));
    EXPECT_TRUE(target.report().matches(expected_records(program)));
}

// Signals at random moments of random runs: every run leaves exactly one
// whole line in the result log, whatever the moment.
TEST(EndingSignal, AStormOfSignalsLeavesOneWholeLineEachRun) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows programs get no POSIX signals";
    const char* runs_env = std::getenv("FWLD_SIGNAL_STORM_RUNS");
    const int runs = runs_env != nullptr && *runs_env != '\0' ? std::atoi(runs_env) : 30;
    const uint64_t seed = storm_seed();
    SCOPED_TRACE("storm seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    Inputs in(loader_bytes(400), program_of(30, 40));
    const std::string log = in.dir.file("runs.jsonl");
    for (int run = 0; run < runs; ++run) {
        sim::SimTarget target{sim::TargetConfig{}};
        ASSERT_TRUE(target.start()) << target.last_error();
        auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"", "2"}, {"LG" + log}));
        // Once its handlers are in (the banner follows them): before that a
        // signal ends any program at once.
        ASSERT_TRUE(tool->wait_for_err(banner_line, 10s)) << tool->err_so_far();
        std::this_thread::sleep_for(milliseconds(pick(rng, 0, 400)));
        const int signal = signals[pick(rng, 0, 2)];
        tool->kill(signal);
        const testbed::ProcessResult r = tool->finish(10s);
        EXPECT_FALSE(r.timed_out);
        target.stop();
        ASSERT_EQ(log_lines(log).size(), static_cast<size_t>(run + 1))
            << "run " << run << ", signal " << signal << ", ended by " << r.signal << ", exit " << r.exit_code << "\n" << r.err;
    }
    for (const std::string& line : log_lines(log)) {
        ASSERT_TRUE(testbed::is_json_line(line)) << line;
        const auto members = testbed::json_members(line);
        const std::string outcome = members.at("outcome");
        EXPECT_TRUE(outcome == "\"signal\"" || outcome == "\"finished\"" || outcome == "\"bad-file\"") << line;
    }
}

}  // namespace
}  // namespace e2e
