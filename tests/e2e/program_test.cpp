// Program stage of the built fwld against the simulated target: records on
// 'H', and every other command the target can send.
#include <sys/wait.h>

#include <algorithm>

#include "e2e_support.h"

namespace e2e {
namespace {

using Action = sim::RecordAction;

sim::TargetConfig with_actions(std::map<int, std::vector<Action>> actions) {
    sim::TargetConfig config;
    config.actions = std::move(actions);
    return config;
}

std::vector<std::string> texts(const std::vector<sim::ProgramRecord>& records, bool resends) {
    std::vector<std::string> out;
    for (const sim::ProgramRecord& r : records) {
        if (r.resend == resends) out.push_back(as_text(r.bytes));
    }
    return out;
}

TEST(Program, MixedFileArrivesExactlyRecordForRecord) {
    Inputs in(loader_bytes(100), mixed_program());
    const Outcome o = run_update({}, in, {"1"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(ends_with(o.tool.err, finished)) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(mixed_program())));
    const std::vector<std::string> want = {"S\x04\x01\x02\x03\x04", "S\x03SEs", std::string("S\0", 2),
                                           "S\x05" "ESESE", "E"};
    EXPECT_EQ(texts(o.target.records, false), want);
    EXPECT_EQ(o.target.h_sent, 5);
    // The erase countdown runs once, before the first record.
    EXPECT_EQ(count_of(o.tool.err, "Erase time 0sec\r"), 1u);
    EXPECT_NE(o.tool.err.find("Erase time 1sec\r\n"), std::string::npos);
    EXPECT_EQ(count_of(o.tool.err, "% completed.\r"), 2u + 5u);  // loader 2, program 5
    EXPECT_NE(o.tool.err.find("Execute STEP2\n44Byte transfer\n"), std::string::npos) << o.tool.err;
}

TEST(Program, ResendRepeatsTheLastRecordWithoutAdvancing) {
    const std::string program = program_of(3, 10);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{1, {Action::resend()}}, {2, {Action::resend()}}}), in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
    const std::vector<std::string> firsts = texts(o.target.records, false);
    const std::vector<std::string> resent = texts(o.target.records, true);
    ASSERT_EQ(resent.size(), 2u);
    EXPECT_EQ(resent[0], firsts[0]);
    EXPECT_EQ(resent[1], firsts[1]);
    EXPECT_EQ(count_of(o.tool.err, "% completed.\r"), 1u + 4u);  // resends show no progress
}

TEST(Program, ResendBeforeAnyRecordSendsNothing) {
    const std::string program = program_of(1, 4);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{0, {Action::resend()}}}), in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(texts(o.target.records, true).empty());
    EXPECT_EQ(texts(o.target.records, false).size(), 2u);
}

TEST(Program, EraseListRequestIsAnsweredWithAndWithoutAList) {
    const std::string program = program_of(1, 4);
    Inputs in(loader_bytes(10), program);
    Outcome o = run_update(with_actions({{1, {Action::erase_list()}}}), in, {}, {"ES0,1,2"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_EQ(o.target.erase_list_replies, std::vector<std::string>{"0,1,2"});
    o = run_update(with_actions({{0, {Action::erase_list()}}}), in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_EQ(o.target.erase_list_replies, std::vector<std::string>{""});
}

TEST(Program, SpeedChangeSwitchesTheLine) {
    const std::string program = program_of(3, 8);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{1, {Action::speed(38400)}}}), in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
    EXPECT_NE(o.tool.err.find("bps=38400\nsetting time(bps,..)="), std::string::npos) << o.tool.err;
    const std::vector<sim::ProgramRecord>& r = o.target.records;
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].line_baud, 115200);
    EXPECT_EQ(r[1].line_baud, 38400);  // the pty now runs at the new speed
    EXPECT_EQ(r[3].line_baud, 38400);
}

TEST(Program, UnusableSpeedLineKeepsTheSpeed) {
    const std::string program = program_of(2, 8);
    Inputs in(loader_bytes(10), program);
    const Outcome o =
        run_update(with_actions({{1, {Action::speed_line(115200, "fast,8,N,1,x\x1b\n")}}}), in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_EQ(o.tool.err.find("bps="), std::string::npos);
    EXPECT_NE(o.tool.err.find("fast,8,N,1,x\\x1b"), std::string::npos) << o.tool.err;
}

TEST(Program, MessagesAndFlashTypesAreShownSafely) {
    const std::string program = program_of(2, 8);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{1, {Action::message("FLASH OK"), Action::flash_type('1')}},
                                               {2, {Action::message("\x1b[2Jwiped\x07"), Action::flash_type('2'),
                                                    Action::junk("\r\n?x\xfe")}}}),
                                 in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
    EXPECT_NE(o.tool.err.find(">>FLASH OK\n"), std::string::npos) << o.tool.err;
    EXPECT_NE(o.tool.err.find(">>\\x1b[2Jwiped\\x07\n"), std::string::npos) << o.tool.err;
    EXPECT_EQ(o.tool.err.find('\x1b'), std::string::npos);
    EXPECT_NE(o.tool.err.find("28F400BV-B\n"), std::string::npos);
    EXPECT_NE(o.tool.err.find("28F400BV-T\n"), std::string::npos);
}

TEST(Program, TargetErrorsStopTheRun) {
    struct Case {
        Action action;
        std::string tail;
    };
    const Case cases[] = {
        {Action::error('N', '3'), "N-3\n\nWrite Error\a\n"},
        {Action::error('E'), "\nErase Error1\a\n"},
        {Action::error('e'), "\nErase Error2\a\n"},
        {Action::flash_type('0'), "\nType Error\a\n"},
    };
    const std::string program = program_of(3, 8);
    Inputs in(loader_bytes(10), program);
    for (const Case& c : cases) {
        const Outcome o = run_update(with_actions({{1, {c.action}}}), in);
        EXPECT_EQ(o.tool.exit_code, 1) << c.tail;
        EXPECT_TRUE(ends_with(o.tool.err, c.tail)) << o.tool.err;
        EXPECT_EQ(texts(o.target.records, false).size(), 1u) << c.tail;
    }
}

// Hundreds of records against a target that asks at once: every one
// arrives whole and in order (more than one receive buffer's worth of 'H'
// passes through), each after the 2 ms write wait and not much later: a
// millisecond tick that moved in coarse steps would stretch it to 16 ms.
TEST(Program, ManyRecordsArriveWholeAtTheWriteWaitsPace) {
    const std::string program = program_of(300, 126);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update({}, in, {"", "2"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
    const std::vector<sim::ProgramRecord>& r = o.target.records;
    ASSERT_EQ(r.size(), 301u);
    std::vector<double> gaps;
    for (size_t i = 1; i < r.size(); ++i) gaps.push_back(r[i].ms - r[i - 1].ms);
    // The span is bounded below exactly; a single gap also carries the
    // target's own delay in reading the record before it.
    EXPECT_GE((r.back().ms - r.front().ms) / static_cast<double>(gaps.size()), 1.95);
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    const double median = gaps[gaps.size() / 2];
    EXPECT_GE(median, 1.9);
    EXPECT_LE(median, 6.0);
}

// Commands that arrive in one read with the 'H' are all handled from what
// was read, without a wait for more from the line in between.
TEST(Program, CommandsArrivingInOneBurstAreAnsweredAtOnce) {
    const std::string program = program_of(4, 8);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{1, {Action::burst("Mone\n1")}},
                                               {2, {Action::burst("Mtwo\n2h")}},
                                               {3, {Action::burst("1h\r\n")}}}),
                                 in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
    EXPECT_NE(o.tool.err.find(">>one\n28F400BV-B\n"), std::string::npos) << o.tool.err;
    EXPECT_NE(o.tool.err.find(">>two\n28F400BV-T\n"), std::string::npos) << o.tool.err;
    const std::vector<sim::ProgramRecord>& r = o.target.records;
    ASSERT_EQ(r.size(), 5u);
    // A wait for more between the buffered commands would cost 500 ms each.
    for (size_t i = 1; i < 4; ++i) EXPECT_LT(r[i].ms - r[i - 1].ms, 400.0) << "after record " << i;
}

TEST(Program, PauseRequestWaitsTheNewWait) {
    const std::string program = program_of(2, 8);
    Inputs in(loader_bytes(10), program);
    const Outcome o = run_update(with_actions({{1, {Action::pause()}}}), in, {"", "", "", "", "", "400"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    const std::vector<sim::ProgramRecord>& r = o.target.records;
    ASSERT_GE(r.size(), 2u);
    EXPECT_GE(r[1].ms - r[0].ms, 390.0);
}

TEST(Program, EarlyReadyDuringTheLoaderIsTheFirstCommand) {
    sim::TargetConfig config;
    config.early_h = true;
    const std::string program = program_of(2, 8);
    Inputs in(loader_bytes(400), program);
    const Outcome o = run_update(config, in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program)));
}

TEST(Program, KeyPressWhileTheTargetIsSilentInterrupts) {
    const std::string program = program_of(3, 8);
    Inputs in(loader_bytes(10), program);
    sim::SimTarget target(with_actions({{1, {Action::silent()}}}));
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    ASSERT_TRUE(target.wait_done(10s));
    tool->press_key(' ');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_EQ(texts(target.report().records, false).size(), 1u);
}

TEST(Program, KeyPressedBeforeTheProgramStageStopsBeforeTheFirstRecord) {
    sim::TargetConfig config;
    config.g_delay = 1500ms;
    const std::string program = program_of(3, 8);
    Inputs in(loader_bytes(10), program);
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    // Pressed while fwld waits for 'G': that wait goes on, the transfer stops.
    while (target.report().ack_ms < 0 && tool->wait_exit(20ms) == false) {
    }
    // Sent is not yet read: a key before fwld has the acknowledgement ends
    // the password repetition instead. 'G' is still a second away after this.
    std::this_thread::sleep_for(500ms);
    tool->press_key(' ');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_NE(r.err.find("Execute STEP2\n"), std::string::npos);
    EXPECT_TRUE(target.report().records.empty());
}

TEST(Program, DeviceUnpluggedAndBackCarriesOn) {
    const std::string program = program_of(4, 16);
    Inputs in(loader_bytes(10), program);
    sim::TargetConfig config = with_actions({{2, {Action::replug()}}});
    config.link_path = in.dir.file("ttyFWLD");
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, config.link_path));
    const testbed::ProcessResult r = tool->finish(20s);
    target.wait_done(2s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const sim::TargetReport report = target.report();
    EXPECT_EQ(report.replugs, 1);
    EXPECT_TRUE(report.matches(expected_records(program)));
}

TEST(Program, DamagedFilesAreRefusedBeforeTheTargetHearsAnything) {
    using namespace std::string_literals;
    const std::string damaged[] = {
        "S\x02\x01\x02\r\nS\x04\x01\x02"s,     // cut inside the data
        "S\x02\x01\x02\r\nE\r\nS"s,            // a lone 'S' at the end
        "S\x02\x01\x02" + "S\x80"s + std::string(128, 'x'),  // count over 126
    };
    for (const std::string& program : damaged) {
        Inputs in(loader_bytes(10), program);
        sim::SimTarget target({});
        ASSERT_TRUE(target.start()) << target.last_error();
        const testbed::ProcessResult r = testbed::FwldProcess::fwld(quick_args(in, target.device_path()))->finish(10s);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("\nHex file"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("TARGET POWER ON."), std::string::npos) << r.err;
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(target.report().received.empty());
    }
}

TEST(Program, WaitingUsesAlmostNoProcessorTime) {
    sim::TargetConfig config = with_actions({{1, {Action::silent()}}});
    Inputs in(loader_bytes(10), program_of(3, 8));
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    ASSERT_TRUE(target.wait_done(10s));
    // fwld waits in the command loop for two seconds; a spinning one would
    // burn them all.
    const double before = testbed::cpu_seconds(tool->pid());
    std::this_thread::sleep_for(2s);
    const double after = testbed::cpu_seconds(tool->pid());
    ASSERT_GE(before, 0.0);
    EXPECT_LT(after - before, 0.2);
    tool->press_key(' ');
    EXPECT_TRUE(tool->wait_exit(10s));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

using Action = sim::RecordAction;

// Starts fwld against a target scripted to fall silent at record k, and
// returns once the target has gone quiet.
struct QuietRun {
    Inputs in;
    sim::SimTarget target;
    std::unique_ptr<testbed::FwldProcess> tool;
    QuietRun(std::vector<Action> at_record_one, const std::string& program)
        : in(loader_bytes(10), program), target(make_config(std::move(at_record_one))) {
        EXPECT_TRUE(target.start()) << target.last_error();
        tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
        EXPECT_TRUE(target.wait_done(10s));
        std::this_thread::sleep_for(200ms);  // fwld is now waiting on the line
    }
    static sim::TargetConfig make_config(std::vector<Action> actions) {
        actions.push_back(Action::silent());
        sim::TargetConfig config;
        config.actions[1] = std::move(actions);
        return config;
    }
};

TEST(ProgramLines, KeyAbandonsAHalfReceivedMessageLine) {
    QuietRun run({Action::junk("Mhalf a line")}, program_of(3, 8));
    run.tool->press_key(' ');
    const testbed::ProcessResult r = run.tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_EQ(r.err.find(">>"), std::string::npos);
}

TEST(ProgramLines, KeyAbandonsTheWaitForTheWriteErrorDetail) {
    QuietRun run({Action::junk("N")}, program_of(3, 8));
    run.tool->press_key(' ');
    const testbed::ProcessResult r = run.tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "\nWrite Error\a\n")) << r.err;
    EXPECT_EQ(r.err.find("N-"), std::string::npos);
}

TEST(ProgramLines, KeyAbandonsAHalfReceivedSpeedLine) {
    QuietRun run({Action::junk("S9600,8")}, program_of(3, 8));
    run.tool->press_key(' ');
    const testbed::ProcessResult r = run.tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_EQ(r.err.find("bps="), std::string::npos);
}

TEST(ProgramEnd, KeyDuringTheLastWriteWaitReportsAnInterruption) {
    const std::string program = program_of(1, 8);
    Inputs in(loader_bytes(10), program);
    sim::SimTarget target({});
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"", "1500"}));
    ASSERT_TRUE(target.wait_done(15s));  // the E record has arrived
    tool->press_key(' ');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, interrupted)) << r.err;
    EXPECT_TRUE(target.report().matches(expected_records(program)));
}

TEST(ProgramEnd, UnreadableInputFilesStopTheRun) {
    // A directory is refused as it is named, before the target hears anything.
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), loader_bytes(10));
    const std::string program = testbed::write_file(dir.file("p.hex"), program_of(1, 4));
    sim::SimTarget quiet({});
    ASSERT_TRUE(quiet.start());
    testbed::ProcessResult r = testbed::FwldProcess::fwld(
                                   {loader, dir.path(), "0", "0", "20", "0", testbed::port_for(quiet.device_path())})
                                   ->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "\nHex file can not open.\n\"" + dir.path() + "\": Is a directory.\n")) << r.err;

    sim::SimTarget target({});
    ASSERT_TRUE(target.start());
    r = testbed::FwldProcess::fwld({dir.path(), program, "0", "0", "20", "0", testbed::port_for(target.device_path())})->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "\nLoader file can not open.\n\"" + dir.path() + "\": Is a directory.\n")) << r.err;
    EXPECT_FALSE(target.report().end_marker_seen);  // no half loader passed off as whole
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST(SideBySide, SeveralUpdatesRunAtOnceEachOnItsOwnLine) {
    constexpr int RUNS = 4;
    std::vector<std::unique_ptr<Inputs>> inputs;
    std::vector<std::unique_ptr<sim::SimTarget>> targets;
    std::vector<std::unique_ptr<testbed::FwldProcess>> tools;
    for (int i = 0; i < RUNS; ++i) {
        inputs.push_back(std::make_unique<Inputs>(loader_bytes(300 + 80 * static_cast<size_t>(i)), program_of(40 + i, 30)));
        sim::TargetConfig config;
        config.id = i + 1;
        targets.push_back(std::make_unique<sim::SimTarget>(config));
        ASSERT_TRUE(targets.back()->start()) << targets.back()->last_error();
        tools.push_back(testbed::FwldProcess::fwld(
            quick_args(*inputs.back(), targets.back()->device_path(), {"", "", "", std::to_string(i + 1)})));
    }
    for (int i = 0; i < RUNS; ++i) {
        const testbed::ProcessResult r = tools[static_cast<size_t>(i)]->finish(30s);
        EXPECT_EQ(r.exit_code, 0) << i << r.err;
        targets[static_cast<size_t>(i)]->wait_done(2s);
        EXPECT_TRUE(targets[static_cast<size_t>(i)]->report().matches(expected_records(program_of(40 + i, 30)))) << i;
    }
}

TEST(SideBySide, ALineInUseIsNotOpenedTwice) {
    if (testbed::ports_are_com_numbers()) {
        GTEST_SKIP() << "Wine does not hold a COM device exclusively (share mode 0); Windows does";
    }
    sim::TargetConfig slow;
    slow.g_delay = 1500ms;  // the first run holds the line meanwhile
    sim::SimTarget target(slow);
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(10), program_of(1, 4));
    auto first = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    ASSERT_TRUE(first->wait_for_err("TARGET POWER ON.\n", 10s));
    const testbed::ProcessResult second = testbed::FwldProcess::fwld(quick_args(in, target.device_path()))->finish(10s);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find("LastError(INVALID_HANDLE_VALUE)="), std::string::npos) << second.err;
    EXPECT_TRUE(ends_with(second.err, "\nCan not open com port\n\n")) << second.err;
    EXPECT_EQ(first->finish(20s).exit_code, 0);
    target.wait_done(2s);
    EXPECT_TRUE(target.report().matches(expected_records(program_of(1, 4))));
}

}  // namespace
}  // namespace e2e
