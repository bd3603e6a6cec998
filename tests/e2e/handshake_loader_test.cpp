// Wake-up handshake and loader stage of the built fwld against the
// simulated target.
#include <poll.h>
#include <unistd.h>

#include <numeric>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string small_program = "S\x02\x01\x02\r\nE\r\n";

std::string received_text(const sim::TargetReport& r) {
    std::string text;
    for (const sim::RxByte& b : r.received) text += static_cast<char>(b.byte);
    return text;
}

TEST(Handshake, ResetSentenceThenPasswordForIdZeroAndTwelve) {
    Inputs in(loader_bytes(10), small_program);
    Outcome o = run_update({}, in);
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_EQ(received_text(o.target).rfind("$PZKW,cprst,0*40\r\nWake up now.", 0), 0u);

    sim::TargetConfig twelve;
    twelve.id = 12;
    o = run_update(twelve, in, {"", "", "", "12"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_EQ(received_text(o.target).rfind("$PZKW,cprst,12*73\r\nWake up now12", 0), 0u);
    EXPECT_TRUE(o.target.intact());
}

// A pty has modem lines through the stand-in (native, and in the Wine
// process): fwld holds RTS off from the open on and leaves DTR as it found it.
TEST(Handshake, RtsIsHeldOffBeforeTheResetSentenceAndDtrLeftOn) {
    testbed::ModemLines lines;
    sim::TargetConfig config;
    config.lines_folder = lines.folder();
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(10), small_program);
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()), lines.env());
    const testbed::ProcessResult r = tool->finish(20s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(target.wait_done(2s));
    target.stop();
    const sim::TargetReport report = target.report();
    EXPECT_TRUE(report.matches(expected_records(small_program)));
    ASSERT_EQ(report.lines.size(), 1u) << r.err;
    EXPECT_EQ(report.lines[0].line, "RTS");
    EXPECT_FALSE(report.lines[0].on);
    EXPECT_LT(report.lines[0].ms, report.reset_ms);
}

// RS: a board whose reset follows DTR wakes through the entry steps, which
// end before the reset sentence's first byte, and the exit steps restart it
// after the last record. Times on the target's clock, where the stand-in
// stamps each change.
TEST(Handshake, TheLinesResetTheBoardBeforeTheWakeUpAndRestartItAfterTheUpdate) {
    testbed::ModemLines lines;
    sim::TargetConfig config;
    config.lines_folder = lines.folder();
    config.reset_line = sim::ResetLine::Dtr;
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(100), program);
    const std::string log = in.dir.file("runs.jsonl"), events = in.dir.file("events.jsonl");
    const std::string trace = in.dir.file("trace.log");
    const std::string rs = "RS-dtr,100,dtr:-dtr,50,dtr";
    auto tool = testbed::FwldProcess::fwld(
        quick_args(in, target.device_path(), {}, {rs, "LG" + log, "EV" + events, "TR" + trace}), lines.env());
    const testbed::ProcessResult r = tool->finish(30s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(target.wait_done(5s));
    target.stop();
    const sim::TargetReport report = target.report();
    EXPECT_TRUE(report.matches(expected_records(program)));
    EXPECT_GE(report.woken_ms, 0);
    std::vector<sim::LineChange> dtr;
    for (const sim::LineChange& change : report.lines) {
        if (change.line == "DTR") dtr.push_back(change);
    }
    ASSERT_EQ(dtr.size(), 4u) << r.err;
    EXPECT_EQ(std::vector<bool>({dtr[0].on, dtr[1].on, dtr[2].on, dtr[3].on}),
              std::vector<bool>({false, true, false, true}));
    EXPECT_GE(dtr[1].ms - dtr[0].ms, 99.0);
    EXPECT_LT(dtr[1].ms - dtr[0].ms, 600.0);
    EXPECT_LT(dtr[1].ms, report.reset_ms);
    EXPECT_GT(dtr[2].ms, report.last_record_ms());
    EXPECT_GE(dtr[3].ms - dtr[2].ms, 49.0);
    EXPECT_LT(dtr[3].ms - dtr[2].ms, 600.0);
    const std::vector<std::string> logged = log_lines(log);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(testbed::json_members(logged[0]).at("lines"), "\"" + rs.substr(2) + "\"");
    std::vector<std::string> sequences;
    std::string last;
    for (const std::string& line : log_lines(events)) {
        const auto e = testbed::json_members(line);
        last = testbed::json_text(e.at("event"));
        if (last == "lines") sequences.push_back(testbed::json_text(e.at("sequence")) + " " + testbed::json_text(e.at("steps")));
    }
    EXPECT_EQ(sequences, (std::vector<std::string>{"entry -dtr,100,dtr", "exit -dtr,50,dtr"}));
    EXPECT_EQ(last, "end");
    // The trace has each step, in order, the entry's before the first byte sent.
    const std::string traced = as_text(testbed::read_file(trace));
    size_t at = 0;
    for (const char* step : {"-- DTR off", "-- wait 100 ms", "-- DTR on", " tx 24 50 5a 4b", "-- DTR off",
                             "-- wait 50 ms", "-- DTR on"}) {
        at = traced.find(step, at);
        ASSERT_NE(at, std::string::npos) << step << "\n" << traced;
    }
}

// A line without modem lines (a pty as it is) cannot reset a board: the
// run stops before a byte goes out, naming the line and the reason.
TEST(Handshake, LinesThatCanNotBeSetStopTheRunBeforeAnyByte) {
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(10), small_program);
    const testbed::ProcessResult r =
        testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {}, {"RS:-rts,10,rts"}))->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(": RTS can not be set: "), std::string::npos) << r.err;
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(target.report().received.empty());
}

TEST(Handshake, PasswordRepeatsAtTheIntervalUntilAKeyEndsTheRun) {
    sim::TargetConfig silent;
    silent.never_ack = true;
    sim::SimTarget target(silent);
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(10), small_program);
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"", "", "100"}));
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s));
    std::this_thread::sleep_for(1500ms);
    tool->press_key('k');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "TARGET POWER ON.\n")) << r.err;  // nothing printed
    const std::vector<double> at = target.report().password_ms;
    ASSERT_GE(at.size(), 8u);
    // About ten a second: measured from the drain, a pty drains at once.
    const double mean_gap = (at.back() - at.front()) / static_cast<double>(at.size() - 1);
    EXPECT_GT(mean_gap, 95.0);
    EXPECT_LT(mean_gap, 160.0);
    EXPECT_LE(at.size(), 17u);
}

TEST(Handshake, AcknowledgementFoundHoweverItArrives) {
    struct Case {
        const char* name;
        sim::TargetConfig config;
    };
    std::vector<Case> cases;
    cases.push_back({"split over writes", {}});
    cases.back().config.ack_byte_delay = 30ms;
    cases.push_back({"after junk and across the window's wrap", {}});
    cases.back().config.junk_before_ack = std::string(45, 'j');
    cases.push_back({"control and high bytes in between", {}});
    cases.back().config.ack_interleave = "\r\n\x80\xff";
    cases.push_back({"after several passwords", {}});
    cases.back().config.ack_after_passwords = 4;
    Inputs in(loader_bytes(10), small_program);
    for (Case& c : cases) {
        const Outcome o = run_update(c.config, in);
        EXPECT_EQ(o.tool.exit_code, 0) << c.name << o.tool.err;
        EXPECT_TRUE(o.target.intact()) << c.name;
    }
}

TEST(Handshake, WrongCaseAcknowledgementIsIgnored) {
    sim::TargetConfig shouting;
    shouting.ack_text = "READY OK.";
    sim::SimTarget target(shouting);
    ASSERT_TRUE(target.start()) << target.last_error();
    Inputs in(loader_bytes(10), small_program);
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s));
    std::this_thread::sleep_for(600ms);
    tool->press_key('k');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    const sim::TargetReport report = target.report();
    EXPECT_EQ(report.loader_cmd_ms, -1);
    ASSERT_GE(report.ack_ms, 0);
    EXPECT_GT(report.password_ms.back(), report.ack_ms + 100);  // still repeating
}

TEST(Handshake, EarlyGIsForgottenAndLoaderFollowsTheSettleDelay) {
    sim::TargetConfig config;
    config.g_before_ack = true;
    config.g_delay = 400ms;
    Inputs in(loader_bytes(10), small_program);
    const Outcome o = run_update(config, in, {"", "", "50"});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    const sim::TargetReport& r = o.target;
    // "Loader" comes ten intervals after the real 'G', not after the early one.
    EXPECT_GE(r.loader_cmd_ms - r.g_ms, 480.0);
    EXPECT_LT(r.loader_cmd_ms - r.g_ms, 1000.0);
    EXPECT_GE(r.g_ms - r.ack_ms, 390.0);
    EXPECT_NE(o.tool.err.find("Execute STEP1\n"), std::string::npos);
}

TEST(Loader, RecordsArePaddedToEightyBytesAndClosedByTheEndMarker) {
    for (size_t size : {160u, 100u, 0u, 81u}) {
        const std::string loader = loader_bytes(size);
        Inputs in(loader, small_program);
        const Outcome o = run_update({}, in);
        EXPECT_EQ(o.tool.exit_code, 0) << size << o.tool.err;
        const size_t records = (size + 79) / 80;
        ASSERT_EQ(o.target.loader_records.size(), records) << size;
        std::string sent;
        for (const sim::Bytes& record : o.target.loader_records) sent += as_text(record);
        EXPECT_EQ(sent, loader + std::string(records * 80 - size, '\0')) << size;
        EXPECT_TRUE(o.target.end_marker_ok) << size;
        const std::string wire = received_text(o.target);
        const size_t start = wire.find("Loader") + 6;
        EXPECT_EQ(wire.substr(start, records * 80 + 80), sent + "Finish Boot File" + std::string(64, '\0'));
    }
}

TEST(Loader, PacingPausesAfterEachGroupOnly) {
    Inputs in(loader_bytes(4 * 80), small_program);
    auto loader_span = [](const sim::TargetReport& r) {
        // From "Loader" to the end marker's last byte.
        const std::string wire = received_text(r);
        const size_t end = wire.find("Finish Boot File") + 80 - 1;
        return r.received[end].ms - r.loader_cmd_ms;
    };
    const Outcome paced = run_update({}, in, {}, {"LD150/2"});
    EXPECT_EQ(paced.tool.exit_code, 0) << paced.tool.err;
    EXPECT_GE(loader_span(paced.target), 290.0);  // two pauses: after records 2 and 4
    EXPECT_LT(loader_span(paced.target), 1200.0);
    const Outcome group_zero = run_update({}, in, {}, {"LD500/0"});
    EXPECT_EQ(group_zero.tool.exit_code, 0) << group_zero.tool.err;
    EXPECT_LT(loader_span(group_zero.target), 250.0);
}

TEST(Loader, ProgressShowsBytesReadNotPadding) {
    Inputs in(loader_bytes(200), small_program);
    const Outcome o = run_update({}, in);
    EXPECT_NE(o.tool.err.find("-040 % completed.\r-080 % completed.\r-100 % completed.\r"
                              "                    \rExecute STEP2\n"),
              std::string::npos)
        << o.tool.err;
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST(HandshakeFaults, KeyEndsTheRetriesWhileTheDeviceIsGone) {
    testbed::TempDir dir;
    auto line = std::make_unique<testbed::Pty>();
    const std::string link = dir.file("ttyGONE");
    ASSERT_EQ(symlink(line->slave_path().c_str(), link.c_str()), 0);
    Inputs in(loader_bytes(10), "E");
    auto tool = testbed::FwldProcess::fwld(quick_args(in, link));
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s));
    line.reset();  // unplugged: hung up, and no device at the name
    unlink(link.c_str());
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(tool->wait_exit(10ms));
    tool->press_key('k');
    const testbed::ProcessResult r = tool->finish(5s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "TARGET POWER ON.\n")) << r.err;
}

TEST(HandshakeFaults, PasswordsReachADeviceThatComesBack) {
    testbed::TempDir dir;
    auto first = std::make_unique<testbed::Pty>();
    const std::string link = dir.file("ttyBACK");
    ASSERT_EQ(symlink(first->slave_path().c_str(), link.c_str()), 0);
    Inputs in(loader_bytes(10), "E");
    auto tool = testbed::FwldProcess::fwld(quick_args(in, link));
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s));
    first.reset();  // unplugged...
    unlink(link.c_str());
    std::this_thread::sleep_for(200ms);
    testbed::Pty second;  // ...and back at the same name
    ASSERT_EQ(symlink(second.slave_path().c_str(), link.c_str()), 0);
    // Only the password repeats; the reset sentence went out once.
    std::string heard;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (heard.find("Wake up now.Wake up now.") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{second.master(), POLLIN, 0};
        char buf[256];
        if (poll(&p, 1, 100) == 1 && (p.revents & POLLIN) != 0) {
            const ssize_t n = read(second.master(), buf, sizeof buf);
            if (n > 0) heard.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_NE(heard.find("Wake up now.Wake up now."), std::string::npos) << heard;
    EXPECT_EQ(heard.find("$PZKW"), std::string::npos);
    tool->press_key('k');
    const testbed::ProcessResult r = tool->finish(5s);
    EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace e2e
