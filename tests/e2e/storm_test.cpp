// The line pulled and put back again and again, at random points of the
// wake-up and the program stage: the image must still arrive byte for byte,
// and fwld must sleep while the device is gone.
#include <unistd.h>

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
