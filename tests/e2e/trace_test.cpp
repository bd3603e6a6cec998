// What the built fwld writes down besides the console: the traffic trace
// (option TR), checked against what the simulated target says it received
// and sent, and the result log (option LG).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

struct Traced {
    std::string sent, received;        // every tx / rx byte, in order
    std::vector<std::string> events;   // the text after "-- "
    std::vector<std::string> order;    // "tx", "rx" or the event, line by line
    bool times_ordered = true;
    bool well_formed = true;
};

bool hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// "   123456 tx 53 03 61  |S.a|" or "   123456 -- open /dev/pts/3".
Traced read_trace(const std::string& path) {
    const testbed::Bytes bytes = testbed::read_file(path);
    const std::string text(bytes.begin(), bytes.end());
    Traced t;
    long previous = -1;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (line.rfind("# ", 0) == 0) continue;
        if (line.size() < 13 || line[9] != ' ') {
            t.well_formed = false;
            continue;
        }
        const long ms = std::stol(line.substr(0, 9));
        if (ms < previous) t.times_ordered = false;
        previous = ms;
        const std::string tag = line.substr(10, 2);
        if (tag == "--") {
            t.events.push_back(line.substr(13));
            t.order.push_back(line.substr(13));
            continue;
        }
        std::string* sink = tag == "tx" ? &t.sent : tag == "rx" ? &t.received : nullptr;
        const size_t bar = line.find("  |");
        if (sink == nullptr || bar == std::string::npos || line.back() != '|') {
            t.well_formed = false;
            continue;
        }
        t.order.push_back(tag);
        for (size_t at = 12; at < bar; at += 3) {
            if (line[at] != ' ' || !hex_digit(line[at + 1]) || !hex_digit(line[at + 2])) t.well_formed = false;
            *sink += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
        }
    }
    return t;
}

std::string received_by(const sim::TargetReport& report) {
    std::string bytes;
    for (const sim::RxByte& b : report.received) bytes += static_cast<char>(b.byte);
    return bytes;
}

size_t index_of(const std::vector<std::string>& lines, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind(prefix, 0) == 0) return i;
    }
    return lines.size();
}

TEST(Trace, HoldsEveryByteOfACompleteUpdateInBothDirectionsInOrder) {
    Inputs in(loader_bytes(200), mixed_program());
    const std::string trace = in.dir.file("trace.log");
    sim::TargetConfig config;
    config.actions[1].push_back(sim::RecordAction::message("half way"));
    config.actions[2].push_back(sim::RecordAction::speed(57600));
    config.actions[3].push_back(sim::RecordAction::resend());
    const Outcome o = run_update(config, in, {}, {"TR" + trace, "XY-unknown-option"});
    ASSERT_EQ(o.tool.exit_code, 0) << o.tool.err;
    ASSERT_TRUE(o.target.matches(expected_records(mixed_program())));
    EXPECT_EQ(o.tool.err.find("trace"), std::string::npos) << o.tool.err;

    const Traced t = read_trace(trace);
    EXPECT_TRUE(t.well_formed);
    EXPECT_TRUE(t.times_ordered);
    EXPECT_EQ(t.sent, received_by(o.target));
    EXPECT_EQ(t.received, as_text(o.target.sent));
    // The port's life around the traffic: open, the run's speed, the
    // target's speed change right after its speed line, close at the end.
    ASSERT_GE(t.events.size(), 4u);
    EXPECT_EQ(t.order.front().rfind("open ", 0), 0u) << t.order.front();
    // With the handshaking the device keeps (Windows) or runs with (POSIX).
    const std::string flow = testbed::ports_are_com_numbers() ? "; flow: fOutxCtsFlow 0, fOutxDsrFlow 0, "
                                                               : "; flow: crtscts off, clocal on";
    EXPECT_EQ(t.order[1].rfind("configure 115200 baud 8N1: accepted" + flow, 0), 0u) << t.order[1];
    EXPECT_EQ(t.order.back().rfind("close ", 0), 0u) << t.order.back();
    const size_t speed_change = index_of(t.order, "configure 57600 baud 8N1: accepted");
    ASSERT_LT(speed_change, t.order.size());
    EXPECT_EQ(t.order[speed_change - 1], "rx");
    EXPECT_NE(t.received.find("S57600,8,N,1"), std::string::npos);
}

TEST(Trace, AnUnwritableTraceFileWarnsOnceAndTheUpdateGoesOn) {
    Inputs in(loader_bytes(100), mixed_program());
    const std::string trace = in.dir.file("no/such/dir/trace.log");
    const Outcome o = run_update(sim::TargetConfig{}, in, {}, {"TR" + trace});
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(mixed_program())));
    EXPECT_EQ(count_of(o.tool.err, "Warning: trace file \"" + trace + "\" can not be opened"), 1u) << o.tool.err;
    EXPECT_EQ(count_of(o.tool.err, "Warning"), 1u);
    EXPECT_TRUE(ends_with(o.tool.err, finished)) << o.tool.err;
}

TEST(Trace, AStopForATargetErrorLeavesTheLastBytesInTheTrace) {
    Inputs in(loader_bytes(100), program_of(4, 20));
    const std::string trace = in.dir.file("trace.log");
    sim::TargetConfig config;
    config.actions[2].push_back(sim::RecordAction::error('E'));
    const Outcome o = run_update(config, in, {}, {"TR" + trace});
    EXPECT_EQ(o.tool.exit_code, 1);
    EXPECT_TRUE(ends_with(o.tool.err, "\nErase Error1\a\n")) << o.tool.err;
    const Traced t = read_trace(trace);
    EXPECT_EQ(t.sent, received_by(o.target));
    EXPECT_EQ(t.received, as_text(o.target.sent));
    EXPECT_EQ(t.received.back(), 'E');
    EXPECT_EQ(t.order.back().rfind("close ", 0), 0u);
}

// Stopped during the erase countdown, right after the target's first 'H':
// that byte is still on its trace line when the signal comes.
void expect_nothing_lost_when_ended(bool by_key) {
    Inputs in(loader_bytes(100), program_of(3, 10));
    const std::string trace = in.dir.file("trace.log");
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    const std::string log = in.dir.file("runs.jsonl");
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"30"}, {"TR" + trace, "LG" + log}));
    ASSERT_TRUE(tool->wait_for_err("Erase time 1sec", 10s)) << tool->err_so_far();
    if (by_key) {
        tool->press_key('\x03');  // Ctrl-C on fwld's terminal
    } else {
        tool->kill(SIGTERM);
    }
    const testbed::ProcessResult r = tool->finish(10s);
    if (testbed::ports_are_com_numbers()) {
        EXPECT_EQ(r.exit_code, 58);  // STATUS_CONTROL_C_EXIT's low byte, as Wine passes it on
    } else {
        EXPECT_EQ(r.signal, by_key ? SIGINT : SIGTERM);
    }
    target.stop();
    const sim::TargetReport report = target.report();
    const Traced t = read_trace(trace);
    EXPECT_TRUE(t.well_formed);
    EXPECT_EQ(t.sent, received_by(report));
    EXPECT_EQ(t.received, as_text(report.sent));
    EXPECT_EQ(t.received.back(), 'H');
    // The result log has the run's line, whatever ended it.
    const std::vector<std::string> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(testbed::is_json_line(lines[0])) << lines[0];
    const long status = testbed::ports_are_com_numbers() ? 0xC000013Al : 128 + (by_key ? SIGINT : SIGTERM);
    const auto line = testbed::json_members(lines[0]);
    EXPECT_EQ(line.at("outcome"), "\"signal\"");
    EXPECT_EQ(line.at("exit"), std::to_string(status));
    EXPECT_EQ(line.at("stage"), "\"erase\"");
    const char* cause = testbed::ports_are_com_numbers() ? "Ctrl-C" : by_key ? "SIGINT" : "SIGTERM";
    EXPECT_EQ(testbed::json_text(line.at("message")), std::string("Ended by ") + cause);
}

TEST(Trace, CtrlCLosesNothing) {
    expect_nothing_lost_when_ended(true);
}

TEST(Trace, SigtermLosesNothing) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows programs get no SIGTERM";
    expect_nothing_lost_when_ended(false);
}

// ---- the result log ----

using testbed::sha256sum_of;

TEST(ResultLog, AFinishedAndAnInterruptedRunEachAppendOneLine) {
    Inputs in(loader_bytes(100), mixed_program());
    const std::string log = in.dir.file("runs.jsonl");
    const Outcome o = run_update({}, in, {}, {"LG" + log});
    ASSERT_EQ(o.tool.exit_code, 0) << o.tool.err;
    sim::TargetConfig silent;
    silent.actions[1] = {sim::RecordAction::silent()};
    sim::SimTarget target(silent);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {}, {"LG" + log}));
    ASSERT_TRUE(target.wait_done(20s));
    tool->press_key(' ');
    EXPECT_EQ(tool->finish(10s).exit_code, 1);

    const std::vector<std::string> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        EXPECT_TRUE(testbed::is_json_line(line)) << line;
        // The image by the digest sha256sum gives it, and how much of it went.
        EXPECT_NE(line.find("\"sha256\":\"" + sha256sum_of(in.program) + "\",\"records\":5}"), std::string::npos)
            << line;
        EXPECT_NE(line.find("\"sha256\":\"" + sha256sum_of(in.loader) + "\"}"), std::string::npos) << line;
    }
    EXPECT_NE(lines[0].find("\"records_sent\":5,\"bytes_sent\":21,"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"outcome\":\"finished\",\"exit\":0,\"message\":\"Finish version up.\"}"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("\"records_sent\":1,"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"outcome\":\"interrupted\",\"exit\":1,\"message\":\"Interruption.\"}"),
              std::string::npos)
        << lines[1];
}

// Every way a run ends, each as the log must keep it: how, at which stage,
// the exit status and the words. The counts are the target's own.
TEST(ResultLog, EveryEndingIsRecordedWithItsStageAndMessage) {
    enum Act { NOTHING, KEY_AT_POWER_ON, KEY_ONCE_TARGET_IS_DONE };
    using Pull = sim::LinePull;
    struct Case {
        const char* name;
        std::function<void(sim::TargetConfig&)> target;
        std::vector<std::string> overrides;
        std::vector<std::string> options;
        Act act;
        const char* outcome;
        int exit;
        const char* stage;
        const char* message;  // its start
        double max_seconds;   // how long the run may take at most; 0: no bound
    };
    const auto silent_after = [](int k) {
        return [k](sim::TargetConfig& c) { c.actions[k] = {sim::RecordAction::silent()}; };
    };
    const auto error_after = [](int k, char e, char d) {
        return [k, e, d](sim::TargetConfig& c) { c.actions[k] = {sim::RecordAction::error(e, d)}; };
    };
    const Case cases[] = {
        {"finished", [](sim::TargetConfig& c) { c.actions[2] = {sim::RecordAction::flash_type('2')}; }, {}, {},
         NOTHING, "finished", 0, "done", "Finish version up.", 0},
        // The silence counts from the target's last byte and from the end of what it asked: a pause longer than
        // TO, and an answer slower than TO byte by byte, are no silence.
        {"pause longer than TO",
         [](sim::TargetConfig& c) { c.actions[2] = {sim::RecordAction::pause(), sim::RecordAction::flash_type('2')}; },
         {"", "", "", "", "", "3000"}, {"TO2"}, NOTHING, "finished", 0, "done", "Finish version up.", 0},
        {"slow answer within TO",
         [](sim::TargetConfig& c) {
             c.ack_byte_delay = 150ms;
             c.g_delay = 700ms;
             c.actions[2] = {sim::RecordAction::flash_type('2')};
         },
         {}, {"TO1"}, NOTHING, "finished", 0, "done", "Finish version up.", 0},
        {"key at power-on", [](sim::TargetConfig& c) { c.never_ack = true; }, {}, {}, KEY_AT_POWER_ON, "interrupted",
         1, "power-on", "Interruption.", 0},
        {"key in the program", silent_after(2), {}, {}, KEY_ONCE_TARGET_IS_DONE, "interrupted", 1, "program",
         "Interruption.", 0},
        {"write error", error_after(2, 'N', '3'), {}, {}, NOTHING, "target-error", 1, "program", "Write Error (N-3)", 0},
        {"erase error", error_after(1, 'e', '1'), {}, {}, NOTHING, "target-error", 1, "program", "Erase Error2", 0},
        {"loader lost", [](sim::TargetConfig& c) { c.pulls = {Pull::at(Pull::InLoader, 2)}; }, {}, {"LD50/1"}, NOTHING,
         "line-failed", 1, "loader", "The loader did not reach the target", 0},
        // A wait longer than TO (the password interval) is cut short to it.
        {"silent at power-on", [](sim::TargetConfig& c) { c.never_ack = true; }, {"", "", "5000"}, {"TO1"}, NOTHING,
         "target-silent", 1, "power-on",
         "Wake-up: the target has sent nothing for 1 s while fwld waited for \"Ready ok.\" after the password.", 3},
        {"silent before G", [](sim::TargetConfig& c) { c.never_g = true; }, {}, {"TO1"}, NOTHING, "target-silent", 1,
         "loader", "Wake-up: the target has sent nothing for 1 s while fwld waited for its G", 0},
        // The erase wait is longer than TO: the silence counts from the target's last byte, not the stage's start.
        {"silent in the program", silent_after(2), {"2"}, {"TO1"}, NOTHING, "target-silent", 1, "program",
         "Program stage: the target has sent nothing for 1 s while fwld waited for its next command after record 2 "
         "of 5.", 0},
        // RM: a board whose device goes ends the run at once, whatever the stage, and nothing is re-opened.
        {"removed in the erase wait", [](sim::TargetConfig& c) { c.pulls = {Pull::at(Pull::AfterReady, 1, 500ms)}; },
         {"30"}, {"RM"}, NOTHING, "removed", 1, "erase", "Board removed in the erase stage before record 1 of 5.", 5},
        // The next board is there at once: fwld must not take its device for this one's.
        {"removed in the program",
         [](sim::TargetConfig& c) {
             c.pulls = {Pull::at(Pull::AfterRecord, 2)};
             c.replug_unplugged = 0ms;
         },
         {}, {"RM"}, NOTHING, "removed", 1, "program", "Board removed in the program stage after record 2 of 5.", 0},
        {"removed in the loader", [](sim::TargetConfig& c) { c.pulls = {Pull::at(Pull::InLoader, 2)}; }, {},
         {"LD50/1", "RM"}, NOTHING, "removed", 1, "loader", "Board removed in the loader stage after loader record ",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A finished run carries a loader and a program over 64 KiB.
        const std::string program = c.exit == 0 ? program_of(600, 120) : program_of(4, 10);
        Inputs in(loader_bytes(c.exit == 0 ? 100 * 1024 : 30 * 80), program);
        const std::string log = in.dir.file("runs.jsonl");
        sim::TargetConfig config;
        config.link_path = in.dir.file("ttyFWLD");
        c.target(config);
        sim::SimTarget target(config);
        ASSERT_TRUE(target.start()) << target.last_error();
        std::vector<std::string> options = c.options;
        options.push_back("LG" + log);
        auto tool = testbed::FwldProcess::fwld(quick_args(in, config.link_path, c.overrides, options));
        if (c.act == KEY_AT_POWER_ON) {
            ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s)) << tool->err_so_far();
            tool->press_key(' ');
        }
        if (c.act == KEY_ONCE_TARGET_IS_DONE) {
            ASSERT_TRUE(target.wait_done(20s));
            tool->press_key(' ');
        }
        const testbed::ProcessResult r = tool->finish(30s);
        EXPECT_EQ(r.exit_code, c.exit) << r.err;
        // fwld is done once its last record has drained; the target may still
        // be taking it in.
        if (c.exit == 0) {
            EXPECT_TRUE(target.wait_done(10s));
        }
        target.stop();
        const sim::TargetReport report = target.report();
        const std::vector<std::string> lines = log_lines(log);
        ASSERT_EQ(lines.size(), 1u);
        const auto line = testbed::json_members(lines[0]);
        ASSERT_FALSE(line.empty()) << lines[0];
        EXPECT_EQ(line.at("outcome"), "\"" + std::string(c.outcome) + "\"");
        EXPECT_EQ(line.at("exit"), std::to_string(c.exit));
        EXPECT_EQ(line.at("stage"), "\"" + std::string(c.stage) + "\"");
        EXPECT_EQ(testbed::json_text(line.at("message")).rfind(c.message, 0), 0u) << line.at("message");
        EXPECT_EQ(line.at("flash_type"), c.exit == 0 ? "\"28F400BV-T\"" : "null");
        // The run's times nest: the board's from its answer, the program's
        // from its first 'H', with the settle delay (10 password intervals of
        // 20 ms) between the two.
        const double seconds = std::stod(line.at("seconds"));
        if (c.max_seconds > 0) {
            EXPECT_LT(seconds, c.max_seconds);
        }
        if (std::string(c.stage) == "power-on") {
            EXPECT_EQ(line.at("board_seconds"), "null");
        } else {
            // The answer came once its last byte had: 8 gaps of the target's delay after the start.
            const double board = std::stod(line.at("board_seconds"));
            EXPECT_GE(seconds - board, 8 * static_cast<double>(config.ack_byte_delay.count()) / 1000.0);
            EXPECT_LE(board, seconds);
        }
        if (line.at("program_seconds") != "null") {
            EXPECT_GE(std::stod(line.at("board_seconds")) - std::stod(line.at("program_seconds")), 0.19);
        }
        // What went out, as the target counted it.
        size_t records = 0, bytes = 0;
        for (const sim::ProgramRecord& record : report.records) {
            if (record.resend || !record.complete) continue;
            ++records;
            bytes += record.bytes.size();
        }
        EXPECT_EQ(line.at("records_sent"), std::to_string(records));
        EXPECT_EQ(line.at("bytes_sent"), std::to_string(bytes));
        EXPECT_EQ(line.at("loader_records_sent"), std::to_string(report.loader_records.size()));
        EXPECT_EQ(testbed::json_members(line.at("loader")).at("sha256"), "\"" + sha256sum_of(in.loader) + "\"");
        EXPECT_EQ(testbed::json_members(line.at("program")).at("sha256"), "\"" + sha256sum_of(in.program) + "\"");
        if (c.exit == 0) {
            EXPECT_TRUE(report.matches(expected_records(program)));
        }
    }
}

// Resends and re-opens as the target asked for and saw them.
TEST(ResultLog, ResendsAndReopensAreTheTargetsOwnCounts) {
    using Pull = sim::LinePull;
    Inputs in(loader_bytes(100), program_of(8, 20));
    const std::string log = in.dir.file("runs.jsonl");
    const std::string events = in.dir.file("events.jsonl");
    sim::TargetConfig config;
    config.link_path = in.dir.file("ttyFWLD");
    config.actions[1] = {sim::RecordAction::resend()};
    config.actions[3] = {sim::RecordAction::resend(), sim::RecordAction::resend()};
    // Pulls between records: no byte of either side is lost, so no 'R' goes astray.
    config.pulls = {Pull::at(Pull::AfterRecord, 2), Pull::at(Pull::AfterRecord, 6)};
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    const testbed::ProcessResult r =
        testbed::FwldProcess::fwld(quick_args(in, config.link_path, {}, {"LG" + log, "EV" + events}))->finish(30s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(target.wait_done(5s));
    const sim::TargetReport report = target.report();
    size_t resends = 0;
    for (const sim::ProgramRecord& record : report.records) resends += record.resend ? 1 : 0;
    ASSERT_EQ(resends, 3u);
    ASSERT_EQ(report.replugs, 2);
    const std::vector<std::string> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    const auto line = testbed::json_members(lines[0]);
    EXPECT_EQ(line.at("resends"), std::to_string(resends));
    EXPECT_EQ(line.at("reopens"), std::to_string(report.replugs));
    // And the event stream has a reopen event for each, counting up.
    std::vector<std::string> counts;
    for (const std::string& event : log_lines(events)) {
        const auto e = testbed::json_members(event);
        if (e.at("event") == "\"reopen\"") counts.push_back(e.at("count"));
    }
    EXPECT_EQ(counts, (std::vector<std::string>{"1", "2"}));
}

// Several fwld on one log, ending at about the same moment: one whole line
// each, never cut or mixed.
TEST(ResultLog, UpdatesAtOnceLeaveOneWholeLineEach) {
    Inputs in(loader_bytes(100), program_of(20, 30));
    const std::string log = in.dir.file("runs.jsonl");
    std::vector<std::unique_ptr<sim::SimTarget>> targets;
    std::vector<std::unique_ptr<testbed::FwldProcess>> tools;
    for (int i = 0; i < 3; ++i) {
        targets.push_back(std::make_unique<sim::SimTarget>(sim::TargetConfig{}));
        ASSERT_TRUE(targets.back()->start()) << targets.back()->last_error();
        tools.push_back(testbed::FwldProcess::fwld(quick_args(in, targets.back()->device_path(), {}, {"LG" + log})));
    }
    for (auto& tool : tools) EXPECT_EQ(tool->finish(30s).exit_code, 0);
    const std::vector<std::string> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 3u);
    for (const std::string& line : lines) EXPECT_TRUE(testbed::is_json_line(line)) << line;
}

// A full disk: the board is updated, and fwld says that its record is lost,
// before its last word and in its status; the end event says the same.
TEST(ResultLog, ARecordTheDiskDoesNotTakeIsToldAndEndsWithStatus3) {
    Inputs in(loader_bytes(100), mixed_program());
    const std::string events = in.dir.file("events.jsonl");
    const Outcome o = run_update({}, in, {}, {"LG/dev/full", "EV" + events});
    EXPECT_EQ(o.tool.exit_code, 3) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(mixed_program())));
    const std::string told = "\nResult log \"/dev/full\" can not be written (";
    const size_t at = o.tool.err.find(told);
    ASSERT_NE(at, std::string::npos) << o.tool.err;
    EXPECT_NE(o.tool.err.find("): the board was updated, but its record is lost.\n", at), std::string::npos);
    EXPECT_TRUE(ends_with(o.tool.err, finished)) << o.tool.err;
    const std::vector<std::string> lines = log_lines(events);
    ASSERT_FALSE(lines.empty());
    const auto end = testbed::json_members(lines.back());
    EXPECT_EQ(end.at("outcome"), "\"finished\"");
    EXPECT_EQ(end.at("exit"), "3");
}

// A production line must not update a board without its record.
TEST(ResultLog, ALogThatDoesNotOpenStopsTheRunBeforeTheTargetHearsAnything) {
    Inputs in(loader_bytes(100), mixed_program());
    const std::string log = in.dir.file("no/such/dir/runs.jsonl");
    const Outcome o = run_update({}, in, {}, {"LG" + log}, 10s);
    EXPECT_EQ(o.tool.exit_code, 1);
    EXPECT_NE(o.tool.err.find("\nResult log \"" + log + "\" can not be opened for appending ("), std::string::npos)
        << o.tool.err;
    EXPECT_EQ(o.tool.err.find("TARGET POWER ON."), std::string::npos) << o.tool.err;
    EXPECT_TRUE(o.target.received.empty());
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// ---- the event stream ----

std::vector<std::map<std::string, std::string>> events_in(const std::string& path) {
    std::vector<std::map<std::string, std::string>> events;
    for (const std::string& line : log_lines(path)) {
        EXPECT_TRUE(testbed::is_json_line(line)) << line;
        events.push_back(testbed::json_members(line));
    }
    return events;
}

// The stream follows the run in order, its figures are the target's, and its
// last line is the result record.
TEST(Events, TheStreamFollowsTheRunAndEndsWithItsRecord) {
    const std::string program = program_of(1500, 100);
    Inputs in(loader_bytes(300), program);
    const std::string events_path = in.dir.file("events.jsonl");
    const std::string log = in.dir.file("runs.jsonl");
    sim::TargetConfig config;
    config.actions[2] = {sim::RecordAction::speed(57600), sim::RecordAction::message("FLASH \"OK\""),
                         sim::RecordAction::flash_type('1'), sim::RecordAction::resend()};
    const Outcome o = run_update(config, in, {"1"}, {"EV" + events_path, "LG" + log});
    ASSERT_EQ(o.tool.exit_code, 0) << o.tool.err;
    const auto events = events_in(events_path);
    ASSERT_GE(events.size(), 7u);
    std::vector<std::string> kinds, stages;
    double t = 0;
    int64_t bytes = -1;
    int progress = 0;
    for (const auto& e : events) {
        kinds.push_back(testbed::json_text(e.at("event")));
        const double at = std::stod(e.at("t"));
        EXPECT_GE(at, t);
        t = at;
        if (kinds.back() == "stage") stages.push_back(testbed::json_text(e.at("stage")));
        if (kinds.back() == "progress") {
            ++progress;
            EXPECT_GT(std::stoll(e.at("bytes")), bytes);
            bytes = std::stoll(e.at("bytes"));
            EXPECT_EQ(e.at("total"), std::to_string(program.size()));
        }
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"power-on", "loader", "erase", "program"}));
    // The last progress line says what the target took, and they come at most ten a second.
    const auto last_progress = std::find(kinds.rbegin(), kinds.rend(), "progress");
    ASSERT_NE(last_progress, kinds.rend());
    const auto& last = events[static_cast<size_t>(kinds.rend() - last_progress - 1)];
    EXPECT_EQ(last.at("bytes"), std::to_string(o.target.record_bytes));
    EXPECT_EQ(last.at("records"), std::to_string(o.target.record_count));
    EXPECT_LE(progress, 10 * t + 2) << progress << " in " << t << " s";
    const auto has = [&](const char* kind, const char* member, const std::string& value) {
        for (const auto& e : events)
            if (testbed::json_text(e.at("event")) == kind && e.at(member) == value) return true;
        return false;
    };
    EXPECT_TRUE(has("speed", "baud", "57600"));
    EXPECT_TRUE(has("message", "text", "\"FLASH \\\"OK\\\"\""));
    EXPECT_TRUE(has("flash_type", "name", "\"28F400BV-B\""));
    // The end, last, is the result log's line with the event's own two members before it.
    EXPECT_EQ(kinds.back(), "end");
    auto end = events.back();
    end.erase("event");
    end.erase("t");
    const std::vector<std::string> lines = log_lines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(end, testbed::json_members(lines[0]));
}

// A reader that goes away costs the update nothing; a stream that does not
// open stops the run before the target hears anything.
TEST(Events, AReaderThatGoesAwayCostsNothingAndOneThatIsNotThereStopsTheRun) {
    Inputs in(loader_bytes(100), program_of(400, 100));
    const Outcome refused = run_update({}, in, {}, {"EV" + in.dir.path()}, 10s);
    EXPECT_EQ(refused.tool.exit_code, 1);
    EXPECT_NE(refused.tool.err.find("\nEvent stream \"" + in.dir.path() + "\" can not be opened for writing ("),
              std::string::npos)
        << refused.tool.err;
    EXPECT_EQ(refused.tool.err.find("TARGET POWER ON."), std::string::npos);
    EXPECT_TRUE(refused.target.received.empty());
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows has no FIFO in its file system";

    const std::string fifo = in.dir.file("events.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // No reader yet: refused at once, never waited for.
    const Outcome alone = run_update({}, in, {}, {"EV" + fifo}, 10s);
    EXPECT_FALSE(alone.tool.timed_out);
    EXPECT_EQ(alone.tool.exit_code, 1);
    EXPECT_NE(alone.tool.err.find("a FIFO needs its reader first"), std::string::npos) << alone.tool.err;
    std::string first_line;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        char c = 0;
        while (read(fd, &c, 1) == 1 && c != '\n') first_line += c;
        close(fd);  // gone after one line
    });
    std::this_thread::sleep_for(200ms);  // the reader is there first
    const Outcome o = run_update({}, in, {}, {"EV" + fifo});
    reader.join();
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    EXPECT_TRUE(o.target.matches(expected_records(program_of(400, 100))));
    EXPECT_EQ(first_line.rfind("{\"event\":\"stage\",\"t\":", 0), 0u) << first_line;
}

// A reader that lags behind a pipe of one page: every line it gets is
// whole, and it gets every line but the progress lines the next one says
// again: each message, the flash type, the end.
TEST(Events, ALaggingReaderGetsEveryLineWholeButProgress) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows has no FIFO in its file system";
    Inputs in(loader_bytes(100), program_of(60, 100));
    const std::string fifo = in.dir.file("events.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    sim::TargetConfig config;
    const std::string text(100, 'm');
    for (int k = 1; k <= 40; ++k) config.actions[k] = {sim::RecordAction::message(text + std::to_string(k))};
    config.actions[50] = {sim::RecordAction::flash_type('2')};
    std::string received;
    std::thread reader([&] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        fcntl(fd, F_SETPIPE_SZ, 4096);
        // Longer than a line may wait for room: some wait in fwld's queue.
        std::this_thread::sleep_for(1500ms);
        char chunk[97];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) {
            received.append(chunk, static_cast<size_t>(n));
            std::this_thread::sleep_for(2ms);
        }
        close(fd);
    });
    std::this_thread::sleep_for(200ms);
    const Outcome o = run_update(config, in, {}, {"EV" + fifo});
    reader.join();
    EXPECT_EQ(o.tool.exit_code, 0) << o.tool.err;
    std::vector<std::string> messages;
    std::string last;
    std::istringstream lines(received);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(testbed::is_json_line(line + "\n")) << line;
        const auto e = testbed::json_members(line);
        last = testbed::json_text(e.at("event"));
        if (last == "message") messages.push_back(testbed::json_text(e.at("text")));
        if (last == "flash_type") {
            EXPECT_EQ(e.at("name"), "\"28F400BV-T\"");
        }
    }
    ASSERT_EQ(messages.size(), 40u);
    for (size_t k = 0; k < 40; ++k) EXPECT_EQ(messages[k], text + std::to_string(k + 1));
    EXPECT_NE(received.find("\"event\":\"flash_type\""), std::string::npos);
    EXPECT_EQ(last, "end");
}

}  // namespace
}  // namespace e2e
