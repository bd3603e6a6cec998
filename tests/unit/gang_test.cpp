// fwld-gang's portable logic: its command line, fwld's event stream read
// into a run, and the station's rules, driven by hand with a test clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "args.h"
#include "keyboard.h"
#include "render.h"
#include "run.h"
#include "station.h"
#include "testbed.h"

namespace {

struct Parsed {
    GangRequest request;
    GangArgs args;
    std::string refusal;
};

// Kept alive: the parsed arguments point into them, as into main's argv.
std::vector<std::string> words;
std::vector<char*> argv;

Parsed parse(std::vector<std::string> args) {
    words = std::move(args);
    words.insert(words.begin(), "fwld-gang");
    argv.clear();
    for (std::string& w : words) argv.push_back(w.data());
    Parsed p{};
    char refusal[256] = "";
    p.request = parse_gang_args(static_cast<int>(argv.size()), argv.data(), &p.args, refusal, sizeof refusal);
    p.refusal = refusal;
    return p;
}

std::vector<std::string> fwld_args(const std::string& p5) {
    return {"--", "l.bin", "p.hex", "3", "2", "100", "0", p5, "0", "ES1"};
}

std::vector<std::string> with(std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::string p5_of(const Parsed& p, int port) {
    char text[GANG_TEXT_MAX];
    EXPECT_TRUE(substitute_port(p.args, p.args.ports[port], text, sizeof text));
    return text;
}

// fwld's command line for a port, as the words it gets.
std::vector<std::string> command_of(const Parsed& p, int port, int* stream_at) {
    char p5[GANG_TEXT_MAX];
    substitute_port(p.args, p.args.ports[port], p5, sizeof p5);
    char* line[64];
    *stream_at = fwld_command_line(p.args, FwldLine{"fwld", nullptr, nullptr, false}, p5, line, 64);
    static char stream[] = "EV<stream>";
    line[*stream_at] = stream;
    std::vector<std::string> command;
    for (int i = 0; line[i] != nullptr; ++i) command.push_back(line[i]);
    return command;
}

TEST(GangArgs, EachPortTakesThePlaceOfTheAt) {
    const Parsed p = parse(with({"--logs", "out", "COM4,ttyUSB1", "/dev/ttyACM0"}, fwld_args("@:115200")));
    ASSERT_EQ(p.request, GANG_RUN) << p.refusal;
    EXPECT_STREQ(p.args.log_dir, "out");
    ASSERT_EQ(p.args.port_count, 3);
    EXPECT_EQ(p5_of(p, 0), "COM4:115200");
    EXPECT_EQ(p5_of(p, 1), "ttyUSB1:115200");
    EXPECT_EQ(p5_of(p, 2), "/dev/ttyACM0:115200");
    ASSERT_EQ(p.args.fwld_arg_count, 9);
    EXPECT_STREQ(p.args.fwld_args[0], "l.bin");
    EXPECT_STREQ(p.args.fwld_args[8], "ES1");  // options pass unchanged
    EXPECT_FALSE(p.args.station);
    int stream_at = 0;
    const std::vector<std::string> full = {"fwld", "l.bin", "p.hex", "3", "2", "100", "0", "ttyUSB1:115200", "0",
                                           "ES1", "EV<stream>"};
    EXPECT_EQ(command_of(p, 1, &stream_at), full);
    EXPECT_EQ(stream_at, 10);

    // Without p6 the stream's option would stand as p6: fwld's default goes first.
    const Parsed bare = parse(with({"--station", "3"}, {"--", "l", "p", "x", "2", "100", "0", "@"}));
    ASSERT_EQ(bare.request, GANG_RUN) << bare.refusal;
    EXPECT_TRUE(bare.args.station);
    EXPECT_EQ(bare.args.log_dir, nullptr);
    const Parsed short_line = parse(with({"3"}, {"--", "l", "p", "x", "2", "100", "0", "@"}));
    const std::vector<std::string> with_p6 = {"fwld", "l", "p", "x", "2", "100", "0", "3", "0", "EV<stream>"};
    EXPECT_EQ(command_of(short_line, 0, &stream_at), with_p6);
    // A station's fwld: the pinned files, a silence limit unless one is
    // given, and RM; the check gets the same words without a stream.
    char p5[] = "3";
    char* line[64];
    const Parsed station = parse(with({"--station", "3"}, {"--", "l", "p", "x", "2", "100", "0", "@", "0", "ES1"}));
    const int at = fwld_command_line(station.args, FwldLine{"fwld", "L", "P", true}, p5, line, 64);
    EXPECT_EQ(std::vector<std::string>(line, line + at),
              (std::vector<std::string>{"fwld", "--check", "L", "P", "x", "2", "100", "0", "3", "0", "ES1", "TO60",
                                        "RM"}));
    const Parsed silent = parse(with({"--station", "3"}, {"--", "l", "p", "x", "2", "100", "0", "@", "0", "TO5"}));
    EXPECT_EQ(fwld_command_line(silent.args, FwldLine{"fwld", "L", "P", false}, p5, line, 64), 11);
    EXPECT_STREQ(line[9], "TO5");
    EXPECT_STREQ(line[10], "RM");

    const Parsed watch = parse(with({"--watch", "/dev/ttyUSB*"}, fwld_args("@")));
    ASSERT_EQ(watch.request, GANG_RUN) << watch.refusal;
    EXPECT_TRUE(watch.args.station);
    EXPECT_STREQ(watch.args.watch, "/dev/ttyUSB*");
    EXPECT_EQ(watch.args.port_count, 0);
}

TEST(GangArgs, BadCommandLinesAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    std::vector<std::string> many;
    for (int i = 0; i <= GANG_PORTS_MAX; ++i) many.push_back("p" + std::to_string(i));
    const Case cases[] = {
        {{"COM4", "l", "p", "3", "2", "100", "0", "@"}, "no \"--\""},
        {fwld_args("@"), "no port"},
        {with({"COM4"}, {"--", "l", "p", "3", "2", "100", "0"}), "end before p5"},
        {with({"COM4"}, fwld_args("COM4:115200")), "must be @ or @:BAUD"},
        {with({"COM4"}, fwld_args("@x")), "must be @ or @:BAUD"},
        {with({"COM4,,COM5"}, fwld_args("@")), "empty port name"},
        {with({"--log", "x", "COM4"}, fwld_args("@")), "unknown option"},
        {with({"COM4", "--logs"}, fwld_args("@")), "--logs needs a directory"},
        {with(many, fwld_args("@")), "at most 64 ports"},
        {with({std::string(GANG_TEXT_MAX - 2, 'x')}, fwld_args("@:115200")), "too long"},
        {with({"COM4"}, with(fwld_args("@"), {"EVmine.jsonl"})), "gives every fwld its event stream"},
        {with({"COM4"}, {"--", "l", "p", "EV1", "2", "100", "0", "@"}), "gives every fwld its event stream"},
        {with({"--watch"}, fwld_args("@")), "--watch needs a pattern"},
        {with({"--watch", "COM*", "COM4"}, fwld_args("@")), "give no ports with it"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.request, GANG_REFUSED) << c.says;
        EXPECT_NE(p.refusal.find(c.says), std::string::npos) << p.refusal;
    }
    EXPECT_EQ(parse({"--help"}).request, GANG_HELP);
    EXPECT_EQ(parse({"--version"}).request, GANG_VERSION);
    // The files may be named anything; LG passes on.
    EXPECT_EQ(parse(with({"COM4"}, {"--", "EVA.bin", "EVB.hex", "3", "2", "100", "0", "@", "0", "LGruns.jsonl"}))
                  .request,
              GANG_RUN);
}

TEST(GangArgs, TheSamePortTwiceIsRefused) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string link = dir.file("ttyLINK");
    ASSERT_EQ(symlink(line.slave_path().c_str(), link.c_str()), 0);
    const std::string slave = line.slave_path();
    const std::vector<std::string> same[] = {
        {"3,COM3"}, {"com3", "COM3"}, {"3", "/dev/ttyS2"}, {link + "," + slave}, {slave + ":9600," + slave},
    };
    for (const std::vector<std::string>& ports : same) {
        const Parsed p = parse(with(ports, fwld_args("@")));
        EXPECT_EQ(p.request, GANG_REFUSED) << ports[0];
        EXPECT_NE(p.refusal.find("are the same port"), std::string::npos) << p.refusal;
    }
    EXPECT_EQ(parse(with({"3,4," + slave}, fwld_args("@"))).request, GANG_RUN);
}

TEST(GangArgs, LogNamesAreSafeDistinctAndNeverADevice) {
    const Parsed p = parse(
        with({"/dev/ttyUSB0,\\\\.\\COM12,./ttyT,../../etc/x,a/b,a_b,A_B,COM3,\\\\.\\com9,nul,LPT1.x,COM0,CONx"},
             fwld_args("@")));
    ASSERT_EQ(p.request, GANG_RUN) << p.refusal;
    std::vector<std::string> names;
    for (int i = 0; i < p.args.port_count; ++i) names.push_back(log_file_name(p.args.ports[i], names));
    const std::vector<std::string> expected = {"ttyUSB0.log", "COM12.log",  "ttyT.log",     "etc_x.log", "a_b.log",
                                               "a_b-2.log",   "A_B-3.log",  "COM3_.log",    "com9_.log", "nul_.log",
                                               "LPT1_.x.log", "COM0.log",   "CONx.log"};
    EXPECT_EQ(names, expected);
}

TEST(GangArgs, WatchedNamesMatchLikeTheShell) {
    const struct {
        const char* pattern;
        const char* name;
        bool any_case;
        bool matches;
    } cases[] = {
        {"COM*", "COM12", true, true},   {"com*", "COM3", true, true},   {"com*", "COM3", false, false},
        {"COM?", "COM12", true, false},  {"COM1?", "COM12", true, true}, {"*1", "COM21", true, true},
        {"*1", "COM12", true, false},    {"COM*2*", "COM212", true, true}, {"COM3", "COM31", true, false},
        {"", "", true, true},
    };
    for (const auto& c : cases) EXPECT_EQ(name_matches(c.pattern, c.name, c.any_case), c.matches) << c.pattern << " " << c.name;
}

TEST(GangArgs, WindowsArgumentsAreQuotedToReadBackUnchanged) {
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"\\\\.\\COM12:115200", "\\\\.\\COM12:115200"},  // backslashes alone stay as they are
        {"", "\"\""},
        {"two words", "\"two words\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\my dir\\", "\"C:\\my dir\\\\\""},  // doubled before the closing quote
    };
    for (const auto& [argument, quoted] : cases) {
        char line[128] = "";
        ASSERT_TRUE(append_quoted_argument(line, sizeof line, argument));
        EXPECT_STREQ(line, quoted) << argument;
    }
    char line[16] = "fwld.exe";
    ASSERT_TRUE(append_quoted_argument(line, sizeof line, "a b"));
    EXPECT_STREQ(line, "fwld.exe \"a b\"");
    EXPECT_FALSE(append_quoted_argument(line, sizeof line, "too long for it"));
}


// ---- fwld's event stream ----

const std::string end_finished =
    R"({"event":"end","t":1.500,"time":"2026-12-07T10:15:19Z","port":"ttyT:115200","program":{"path":"p.hex",)"
    R"("bytes":1203,"records":101},"records_sent":101,"bytes_sent":1001,"messages":["a \"b\"","c}"],)"
    R"("seconds":1.5,"stage":"done","outcome":"finished","exit":0,"message":"Finish version up."})";

// A whole run as fwld writes it: stages, progress, a message, the end.
const std::string session_events =
    R"({"event":"stage","t":0.020,"stage":"power-on","baud":115200})" "\n"
    R"({"event":"stage","t":0.150,"stage":"loader","baud":115200})" "\n"
    R"({"event":"stage","t":0.400,"stage":"erase","baud":115200})" "\n"
    R"({"event":"stage","t":0.600,"stage":"program","baud":115200})" "\n"
    R"({"event":"progress","t":0.700,"bytes":10,"total":1203,"records":1,"percent":0})" "\n"
    R"({"event":"message","t":0.800,"text":"FLASH\tOK \u00e9\n"})" "\n"
    R"({"event":"speed","t":0.900,"baud":230400})" "\n"
    R"({"event":"progress","t":1.400,"bytes":1001,"total":1203,"records":101,"percent":83})" "\n" +
    end_finished + "\n";

std::vector<Stage> feed(PortRun* run, EventLines* lines, const std::string& text, size_t chunk,
                        std::vector<std::string>* ends = nullptr) {
    std::vector<Stage> stages;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size(); at += chunk) {
        const size_t n = std::min(chunk, text.size() - at);
        for (size_t taken = 0; taken < n;) {
            taken += event_lines_feed(lines, bytes + at + taken, n - taken);
            RunEvent event;
            if (!lines->ready || !read_run_event(lines->line.data(), lines->line.size(), &event)) continue;
            if (run_event(run, event)) stages.push_back(run->stage);
            if (event.kind == RUN_EVENT_END && ends != nullptr) ends->push_back(event.result.record.dump());
        }
    }
    return stages;
}

TEST(GangEvents, ATypicalRunPassesEveryStageHoweverItArrives) {
    const std::vector<Stage> expected = {STAGE_POWER_ON, STAGE_LOADER, STAGE_ERASE, STAGE_PROGRAM};
    for (size_t chunk : {size_t{1}, size_t{7}, session_events.size()}) {
        SCOPED_TRACE(chunk);
        static EventLines lines;
        lines = EventLines{};
        PortRun run;
        run_start(&run, 5000);
        std::vector<std::string> ends;
        EXPECT_EQ(feed(&run, &lines, session_events, chunk, &ends), expected);
        EXPECT_EQ(run.stage_ms, 5600u);  // fwld's time, from the run's start
        EXPECT_EQ(run.bytes, 1001);
        EXPECT_EQ(run.records, 101);
        EXPECT_EQ(run.percent, 83);
        // The record passes on whole, in its order, without the event's own members.
        ASSERT_EQ(ends.size(), 1u);
        EXPECT_EQ(ends[0], "{" + end_finished.substr(end_finished.find("\"time\"")));
        const RunResult& r = run.result;
        ASSERT_TRUE(r.known);
        EXPECT_EQ(r.stage, STAGE_DONE);
        EXPECT_EQ(r.outcome, "finished");
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.message, "Finish version up.");
        EXPECT_EQ(r.bytes_sent, 1001);
        EXPECT_EQ(r.records_sent, 101);
        EXPECT_EQ(r.seconds_ms, 1500u);
    }
    // A message shows on one line: escapes undone, control bytes blank.
    static EventLines lines;
    lines = EventLines{};
    PortRun run;
    run_start(&run, 0);
    feed(&run, &lines, session_events.substr(0, session_events.find("speed")), 3);
    EXPECT_EQ(run.message, "FLASH OK \xc3\xa9 ");
}

TEST(GangEvents, WhatIsNoEventIsPassedOver) {
    const char* not_events[] = {
        "",
        "Finish version up.",
        R"({"t":1.0,"stage":"loader"})",            // no kind
        R"({"event":"stage","stage":"loader"})",    // no time
        R"({"event":"stage","t":1.0,"stage":"loader")",  // cut short
        R"({"event":"message","t":1.0,"text":"open)",
        R"(["event","stage"])",
        R"({"event":7,"t":1.0})",                   // a kind that is no text
        R"({"event":"stage","t":"1"})",             // a time that is no number
        "{\"event\":\"message\",\"t\":1,\"text\":\"\xff\"}",  // not UTF-8
    };
    for (const char* line : not_events) {
        RunEvent event;
        EXPECT_FALSE(read_run_event(line, std::strlen(line), &event)) << line;
    }
    // Kinds and members fwld may add later change nothing.
    const std::string later = R"({"event":"tide","t":2.0,"stage":"program","level":{"a":[1,2]}})";
    RunEvent event;
    ASSERT_TRUE(read_run_event(later.data(), later.size(), &event));
    EXPECT_EQ(event.kind, RUN_EVENT_OTHER);
    PortRun run;
    run_start(&run, 0);
    EXPECT_FALSE(run_event(&run, event));
    EXPECT_EQ(run.stage, STAGE_STARTING);
    // A line too long to keep is dropped whole; the next one is read.
    static EventLines lines;
    lines = EventLines{};
    const std::string stream = "{\"event\":\"message\",\"t\":1,\"text\":\"" + std::string(EVENT_LINE_MAX, 'x') +
                               "\"}\n" + R"({"event":"stage","t":2.0,"stage":"loader"})" "\n";
    EXPECT_EQ(feed(&run, &lines, stream, 4096), std::vector<Stage>{STAGE_LOADER});
    EXPECT_EQ(run.message, "");
}

// ---- runs, boards and the station ----

std::string end_line(const char* stage, const char* outcome, int exit, const char* message = "m") {
    char line[512];
    std::snprintf(line, sizeof line,
                  R"({"event":"end","t":2.5,"port":"p","records_sent":3,"bytes_sent":40,"seconds":2.5,)"
                  R"("board_seconds":%s,"stage":"%s","outcome":"%s","exit":%d,"message":"%s"})"
                  "\n",
                  std::strcmp(stage, "power-on") == 0 ? "null" : "2.0", stage, outcome, exit, message);
    return line;
}

PortRun run_of(const std::string& events, ChildEnd end = {END_EXIT, 0}) {
    static EventLines lines;
    lines = EventLines{};
    PortRun run;
    run_start(&run, 100);
    feed(&run, &lines, events, events.size());
    run_child_ended(&run, end, 3100);
    return run;
}

TEST(GangStation, WhichRunIsABoardAndHowItWent) {
    const std::string power_on = R"({"event":"stage","t":0.1,"stage":"power-on","baud":9600})" "\n";
    const std::string program = power_on + R"({"event":"stage","t":0.5,"stage":"program","baud":9600})" "\n";
    struct Case {
        std::string events;
        ChildEnd end;
        bool stopping;
        Verdict station;  // with --station
        Verdict plain;    // without: every run is a board
        bool stopped;
    };
    const Case cases[] = {
        {end_line("done", "finished", 0), {END_EXIT, 0}, false, VERDICT_FINISHED, VERDICT_FINISHED, false},
        {end_line("program", "target-error", 1), {END_EXIT, 1}, false, VERDICT_FAILED, VERDICT_FAILED, false},
        {end_line("loader", "interrupted", 1), {END_EXIT, 1}, true, VERDICT_FAILED, VERDICT_FAILED, true},
        {end_line("erase", "signal", 130), {END_EXIT, 130}, true, VERDICT_FAILED, VERDICT_FAILED, true},
        // Before the target answered there was no board.
        {end_line("power-on", "interrupted", 1), {END_EXIT, 1}, true, VERDICT_NO_BOARD, VERDICT_FAILED, true},
        {end_line("power-on", "port-not-opened", 1), {END_EXIT, 1}, false, VERDICT_NO_BOARD, VERDICT_FAILED, false},
        {end_line("power-on", "target-silent", 1), {END_EXIT, 1}, false, VERDICT_NO_BOARD, VERDICT_FAILED, false},
        // No board can ever be updated with these files or this command line.
        {end_line("power-on", "bad-file", 1), {END_EXIT, 1}, false, VERDICT_STOPS_STATION, VERDICT_FAILED, false},
        {"", {END_EXIT, 1}, false, VERDICT_STOPS_STATION, VERDICT_FAILED, false},
        {"", {END_EXIT, 1}, true, VERDICT_NO_BOARD, VERDICT_FAILED, false},
        // Killed without its record: where it stood decides.
        {program, {END_SIGNAL, 9}, false, VERDICT_FAILED, VERDICT_FAILED, true},
        {power_on, {END_SIGNAL, 9}, false, VERDICT_NO_BOARD, VERDICT_FAILED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.events);
        const PortRun run = run_of(c.events, c.end);
        EXPECT_EQ(judge_run(run, true, c.stopping), c.station);
        EXPECT_EQ(judge_run(run, false, c.stopping), c.plain);
        EXPECT_EQ(run_was_stopped(run), c.stopped);
    }
    const PortRun killed = run_of(program, {END_SIGNAL, 9});
    EXPECT_FALSE(killed.result.known);
    EXPECT_EQ(killed.result.stage, STAGE_PROGRAM);
    EXPECT_EQ(killed.result.message, "fwld ended by signal 9 and no result record");
    EXPECT_EQ(killed.result.seconds_ms, 3000u);
    EXPECT_EQ(killed.result.board_ms, 2500);  // from the target's answer, as the stage events tell it
}

TEST(GangStation, APortStartsAgainOnlyWhenItMay) {
    PortSchedule s{};
    schedule_presence(&s, false, 0);
    EXPECT_FALSE(schedule_may_start(s, 0));  // no device
    schedule_presence(&s, true, 7);
    EXPECT_TRUE(schedule_may_start(s, 0));
    s.running = true;
    EXPECT_FALSE(schedule_may_start(s, 0));

    // A board ended: a fixture's port starts again at once ...
    schedule_run_ended(&s, VERDICT_FINISHED, false, false, 1000);
    EXPECT_TRUE(schedule_may_start(s, 1000));
    // ... a watched one only once its device has gone and come back.
    schedule_run_ended(&s, VERDICT_FAILED, false, true, 1000);
    EXPECT_FALSE(schedule_may_start(s, 60000));
    schedule_presence(&s, false, 0);
    EXPECT_FALSE(schedule_may_start(s, 60000));
    schedule_presence(&s, true, 7);
    EXPECT_TRUE(schedule_may_start(s, 60000));
    // Out and in between two looks: another device under the same name.
    schedule_run_ended(&s, VERDICT_FINISHED, false, true, 1000);
    schedule_presence(&s, true, 7);
    EXPECT_FALSE(schedule_may_start(s, 60000));
    schedule_presence(&s, true, 8);
    EXPECT_TRUE(schedule_may_start(s, 60000));

    // Nothing answered: not again for a second, unless the device was replugged.
    for (bool watch : {false, true}) {
        schedule_run_ended(&s, VERDICT_NO_BOARD, false, watch, 5000);
        EXPECT_FALSE(schedule_may_start(s, 5000 + RESTART_PAUSE_MS - 1));
        EXPECT_TRUE(schedule_may_start(s, 5000 + RESTART_PAUSE_MS));
        schedule_run_ended(&s, VERDICT_NO_BOARD, false, watch, 5000);
        schedule_presence(&s, false, 0);
        schedule_presence(&s, true, 7);
        EXPECT_TRUE(schedule_may_start(s, 5001));
    }
    // A run still waking a board whose device went (or was swapped) is ended.
    PortSchedule w{};
    schedule_presence(&w, true, 7);
    schedule_run_started(&w);
    EXPECT_FALSE(schedule_should_end_run(w, STAGE_POWER_ON));
    schedule_presence(&w, true, 8);
    EXPECT_TRUE(schedule_should_end_run(w, STAGE_POWER_ON));
    EXPECT_TRUE(schedule_should_end_run(w, STAGE_STARTING));
    EXPECT_FALSE(schedule_should_end_run(w, STAGE_LOADER));  // a board answered: fwld sees to it
    schedule_run_started(&w);
    EXPECT_FALSE(schedule_should_end_run(w, STAGE_POWER_ON));
    schedule_presence(&w, false, 0);
    EXPECT_TRUE(schedule_should_end_run(w, STAGE_POWER_ON));

    // The station's own stop is no reason to wait; the clock may wrap.
    schedule_run_ended(&s, VERDICT_NO_BOARD, true, false, 5000);
    EXPECT_TRUE(schedule_may_start(s, 5000));
    schedule_run_ended(&s, VERDICT_NO_BOARD, false, false, 0xffffff00u);
    EXPECT_FALSE(schedule_may_start(s, 0x100u));
    EXPECT_TRUE(schedule_may_start(s, 0xffffff00u + RESTART_PAUSE_MS));
}

TEST(GangFigures, RateAndTimeLeftComeFromTheProgressEvents) {
    static EventLines lines;
    lines = EventLines{};
    PortRun run;
    run_start(&run, 10000);
    const auto at = [&](const std::string& text) { feed(&run, &lines, text, text.size()); };
    at(R"({"event":"stage","t":0.5,"stage":"erase","baud":9600})" "\n");
    EXPECT_EQ(run_figures(run, 13600).stage_seconds, 3);  // the countdown from the stage's own time
    at(R"({"event":"stage","t":4.0,"stage":"program","baud":9600})" "\n"
       R"({"event":"progress","t":5.0,"bytes":120,"total":1203,"records":12,"percent":9})" "\n");
    EXPECT_LT(run_figures(run, 15000).records_per_s, 0);  // one point is no rate
    at(R"({"event":"progress","t":7.0,"bytes":360,"total":1203,"records":36,"percent":29})" "\n");
    const RunFigures f = run_figures(run, 17000);
    EXPECT_EQ(f.percent, 29);
    EXPECT_DOUBLE_EQ(f.records_per_s, 12.0);  // records 12 to 36 in 2 s
    EXPECT_EQ(f.seconds_left, 7);             // 843 bytes at 120 bytes/s
    EXPECT_EQ(run_figures(run, 18900).seconds_left, 5);
    // No record for 2 s: no rate, no time left.
    EXPECT_EQ(run_figures(run, 19000).records_per_s, 0);
    EXPECT_EQ(run_figures(run, 19000).seconds_left, -1);
    at(end_line("done", "finished", 0));
    run_child_ended(&run, {END_EXIT, 0}, 19500);
    EXPECT_EQ(run_figures(run, 30000).elapsed_ms, 9500u);
    EXPECT_EQ(run_figures(run, 30000).seconds_left, -1);
    EXPECT_EQ(render_end_line("ttyT", run, 4), "ttyT: board 4 finished in 2.5 s, 40 bytes, 3 records\n");
}

// ---- the station, driven by hand ----

// A station on a test clock: every action it asks for is kept, looks find
// `present`, and results.jsonl takes lines while `writable`.
struct Rig {
    Station station;
    uint32_t now = 10000;
    std::vector<DeviceSeen> present;
    bool writable = true;
    std::vector<std::string> written;
    std::vector<Action> actions;
    std::map<int, int> slot_of;  // port -> the slot of its run

    explicit Rig(std::vector<std::string> ports, bool watch = false, int slots = GANG_PORTS_MAX)
        : station(StationSetup{true, watch, false, slots, ":115200", "20261208T142233Z-4711"}) {
        for (const std::string& port : ports) {
            if (!watch) station.add_port(port);
            present.push_back({port, 1});
        }
        station.start(now);
        carry_out();
    }
    void carry_out() {
        for (std::vector<Action> asked; !(asked = station.take_actions()).empty();) {
            for (const Action& a : asked) {
                actions.push_back(a);
                if (a.kind == ACTION_START_RUN) slot_of[a.port] = a.slot;
                if (a.kind == ACTION_LOOK) station.look(present, now);
                if (a.kind == ACTION_WRITE_RESULT) {
                    if (writable) written.push_back(a.text);
                    station.results_written(writable, writable ? "" : "No space left on device", now);
                }
            }
        }
    }
    void wait(uint32_t ms) {
        now += ms;
        station.tick(now);
        carry_out();
    }
    void events(int port, const std::string& text) {
        station.stream(slot_of[port], reinterpret_cast<const unsigned char*>(text.data()), text.size(), now);
        carry_out();
    }
    void output(int port, const std::string& text) {
        station.output(slot_of[port], reinterpret_cast<const unsigned char*>(text.data()), text.size());
        carry_out();
    }
    void ends(int port, const std::string& end_event, ChildEnd end = {END_EXIT, 1}) {
        events(port, end_event);
        station.child_ended(slot_of[port], end, now);
        carry_out();
    }
    void keys(const std::vector<int>& codes, uint32_t gap_ms) {
        for (int code : codes) {
            station.key(code, now);
            wait(gap_ms);
        }
        wait(KEY_BURST_MS);
    }
    std::vector<int> ports_asked(ActionKind kind) const {
        std::vector<int> ports;
        for (const Action& a : actions) {
            if (a.kind == kind) ports.push_back(a.port);
        }
        return ports;
    }
    std::string log_of(int port) const {
        std::string log;
        for (const Action& a : actions) {
            if (a.kind == ACTION_APPEND_LOG && a.port == port) log += a.text;
        }
        return log;
    }
};

std::string stage_event(const char* stage) {
    return R"({"event":"stage","t":0.5,"stage":")" + std::string(stage) + "\"}\n";
}
const std::string in_program = stage_event("power-on") + stage_event("loader") + stage_event("program");

TEST(GangKeys, ATerminalsBytesAreKeyCodes) {
    const std::pair<std::string, std::vector<int>> cases[] = {
        {"q", {'q'}},
        {"\x1b[A\x1b[B", {KEY_CODE_UP, KEY_CODE_DOWN}},
        {"\x1bOA\x1bOB", {KEY_CODE_UP, KEY_CODE_DOWN}},  // application mode
        {"j\x1b[5~k", {'j', KEY_CODE_OTHER, 'k'}},        // Page Up
        {"\x1b[1;5A", {KEY_CODE_OTHER}},                  // Ctrl-Up is no arrow
        {"\x1b", {KEY_CODE_OTHER}},                       // Escape alone
        {"x\x1b[", {'x', KEY_CODE_OTHER}},                // cut short
    };
    for (const auto& [bytes, expected] : cases) {
        int codes[8];
        const int n = key_codes_of_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), codes, 8);
        EXPECT_EQ(std::vector<int>(codes, codes + n), expected) << bytes.substr(1);
    }
}

TEST(GangStation, TheOperatorsKeysActOnTheSelectedPortAndAScannersTypingOnNothing) {
    const struct {
        const char* what;
        std::vector<int> keys;
        uint32_t gap_ms;
        std::vector<int> ended;  // the ports whose runs the keys end
    } cases[] = {
        {"x alone", {'x'}, 100, {0}},
        {"down, then x", {KEY_CODE_DOWN, 'x'}, 100, {1}},
        {"j, then x", {'j', 'x'}, 100, {1}},
        {"down and up", {KEY_CODE_DOWN, 'k', 'x'}, 100, {0}},
        {"a barcode", {'4', '0', '1', 'x', 'p', 'q', '\r'}, 5, {}},
        {"an arrow held down", {KEY_CODE_DOWN, KEY_CODE_DOWN, KEY_CODE_DOWN}, 20, {}},
        {"other keys", {'X', ' ', '\r', KEY_CODE_OTHER, 'a'}, 100, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig({"A", "B", "C"});
        for (int port : {0, 1, 2}) rig.events(port, in_program);
        rig.keys(c.keys, c.gap_ms);
        EXPECT_EQ(rig.ports_asked(ACTION_END_RUN), c.ended);
        EXPECT_TRUE(rig.ports_asked(ACTION_PRESS_KEY).empty());
    }
    // An arrow held down moves as far as it is held, within the rows.
    Rig rig({"A", "B", "C"});
    rig.keys({KEY_CODE_DOWN, KEY_CODE_DOWN, KEY_CODE_DOWN}, 20);
    EXPECT_EQ(rig.station.selected(), 2);
    // x: the board failed, and its line says who ended it.
    rig.events(2, in_program);
    rig.keys({'x'}, 100);
    rig.ends(2, end_line("program", "interrupted", 1, "Interruption."));
    ASSERT_EQ(rig.written.size(), 1u);
    const auto line = testbed::json_members(rig.written[0]);
    EXPECT_EQ(testbed::json_text(line.at("message")), OPERATOR_ENDED);
    EXPECT_EQ(rig.station.ports()[2].tally.failed, 1);
    // p: the port's next run, still waking, is ended, and no board follows
    // until it is resumed.
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN), (std::vector<int>{0, 1, 2, 2}));
    rig.keys({'p'}, 100);
    EXPECT_EQ(rig.ports_asked(ACTION_END_RUN), (std::vector<int>{2, 2}));
    rig.ends(2, end_line("power-on", "interrupted", 1));
    rig.wait(5000);
    EXPECT_EQ(rig.station.phase(2), PHASE_PAUSED);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 4u);
    rig.keys({'p'}, 100);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN), (std::vector<int>{0, 1, 2, 2, 2}));
    EXPECT_EQ(rig.written.size(), 1u);
}

TEST(GangStation, QStopsGentlyQAgainStopsNow) {
    for (bool again : {false, true}) {
        SCOPED_TRACE(again ? "q, q" : "q");
        Rig rig({"A", "B"});
        rig.events(0, in_program);
        rig.events(1, stage_event("power-on"));
        rig.keys({'q'}, 100);
        // The board being updated goes on; the port waiting for one ends.
        EXPECT_EQ(rig.ports_asked(ACTION_END_RUN), std::vector<int>{1});
        rig.ends(1, end_line("power-on", "interrupted", 1));
        rig.wait(5000);
        EXPECT_FALSE(rig.station.done());
        if (again) {
            rig.keys({'q'}, 100);
            EXPECT_EQ(rig.ports_asked(ACTION_PRESS_KEY), std::vector<int>{0});
            rig.ends(0, end_line("program", "interrupted", 1));
        } else {
            rig.ends(0, end_line("done", "finished", 0));
        }
        EXPECT_TRUE(rig.station.done());
        EXPECT_EQ(rig.ports_asked(ACTION_START_RUN), (std::vector<int>{0, 1}));
        EXPECT_EQ(rig.written.size(), 1u);
        EXPECT_EQ(rig.station.exit_status(), again ? 1 : 0);
    }
}

TEST(GangStation, ABusyPortGetsALineAPieceAndATryEveryFiveSeconds) {
    Rig rig({"A"});
    const std::string busy = end_line("power-on", "port-not-opened", 1, "Can not open com port");
    rig.output(0, "banner 1\n");
    rig.ends(0, busy);
    EXPECT_EQ(rig.station.phase(0), PHASE_BUSY);
    rig.wait(BUSY_RETRY_MS - 1);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 1u);
    rig.wait(LOOK_MS);
    ASSERT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 2u);
    rig.output(0, "banner 2\n");
    rig.ends(0, busy);
    rig.wait(BUSY_RETRY_MS + LOOK_MS);
    rig.output(0, "banner 3\n");
    rig.events(0, stage_event("power-on"));
    EXPECT_EQ(rig.log_of(0),
              "\nfwld-gang: the port is busy (another program may hold it): Can not open com port; tried again every "
              "5 s.\nfwld-gang: the port is free again.\nbanner 3\n");
    EXPECT_TRUE(rig.written.empty());  // no board
}

TEST(GangStation, NoRecordIsLostWhileResultsCanNotBeWritten) {
    Rig rig({"A", "B"});
    rig.writable = false;
    rig.events(0, in_program);
    rig.ends(0, end_line("done", "finished", 0));
    rig.events(1, in_program);
    rig.ends(1, end_line("program", "target-error", 1, "Write Error (N-1)"));
    // No new board while the lines are held; the file is tried again by name.
    rig.wait(RESULTS_RETRY_MS);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 2u);
    EXPECT_TRUE(std::any_of(rig.actions.begin(), rig.actions.end(),
                            [](const Action& a) { return a.kind == ACTION_WRITE_RESULT && a.reopen; }));
    EXPECT_TRUE(rig.station.status(rig.now).results_blocked);
    rig.writable = true;
    rig.wait(RESULTS_RETRY_MS);
    ASSERT_EQ(rig.written.size(), 2u);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 4u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(rig.written[i]);
        EXPECT_TRUE(testbed::is_json_line(rig.written[i]));
        const auto m = testbed::json_members(rig.written[i]);
        EXPECT_EQ(testbed::json_text(m.at("port")), "p");  // the record's own members, whole
        EXPECT_EQ(testbed::json_text(m.at("outcome")), i == 0 ? "finished" : "target-error");
        EXPECT_EQ(testbed::json_text(m.at("session")), "20261208T142233Z-4711");
        EXPECT_EQ(m.at("board"), "1");
        EXPECT_EQ(m.count("event") + m.count("t"), 0u);
    }
    // Stopped with a line still unwritten: it is kept for stderr, exit 1.
    rig.writable = false;
    rig.events(0, in_program);
    rig.ends(0, end_line("done", "finished", 0));
    rig.keys({'q'}, 100);
    rig.ends(1, end_line("power-on", "interrupted", 1));
    ASSERT_TRUE(rig.station.done());
    ASSERT_EQ(rig.station.unwritten().size(), 1u);
    EXPECT_NE(rig.station.unwritten().front().find("\"board\":2"), std::string::npos);
    EXPECT_EQ(rig.station.exit_status(), 1);
}

TEST(GangStation, WatchedRowsComeAndGoAndTheTableFitsItsTerminal) {
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("/dev/serial/by-id/usb-Maker_Serial_" + std::to_string(i));
    Rig rig(names, true, 16);
    // As many runs as slots; the rest wait, and the table says so.
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 16u);
    EXPECT_TRUE(rig.station.status(rig.now).crowded);
    const std::string notice = R"({"event":"notice","t":11,"text":"The target has sent nothing for 10 s; it may )"
                               R"(be off, or on another port, or at another speed."})" "\n";
    rig.events(0, in_program + R"({"event":"progress","t":0.6,"bytes":10,"total":100,"records":1,"percent":9})" "\n" +
                      notice);
    rig.wait(STALL_MS + 1000);
    const std::vector<std::string> table = render_table(rig.station, 80, 12, rig.now);
    EXPECT_EQ(table.size(), 11u);
    EXPECT_EQ(table[0].substr(0, 4), "PORT");
    for (const char* column : {"STAGE", "FINISHED", "FAILED", "MESSAGE"}) {
        EXPECT_NE(table[0].find(column), std::string::npos) << column;
    }
    for (const std::string& line : table) EXPECT_LT(line.size() - (line[0] == '\x1b' ? 9 : 0), 80u) << line;
    // The notice on its row, cut to fit; a stalled row has no rate and no time left.
    EXPECT_NE(table[1].find("program 9%"), std::string::npos) << table[1];
    EXPECT_NE(table[1].find("The target has"), std::string::npos) << table[1];
    EXPECT_EQ(table[1].substr(table[1].size() - 3 - 5), "...\x1b[27m");
    std::vector<std::string> wide;
    const std::string row = render_table(rig.station, 250, 40, rig.now)[1];
    for (size_t at = 0; at < row.size();) {
        const size_t gap = row.find("  ", at);
        wide.push_back(row.substr(at, gap - at));
        at = gap == std::string::npos ? gap : row.find_first_not_of(' ', gap);
    }
    ASSERT_GE(wide.size(), 4u) << row;
    EXPECT_EQ(wide[2] + " " + wide[3], "0 -") << row;  // REC/S, LEFT
    EXPECT_EQ(table[8].substr(0, 15), "+ 13 more ports") << table[8];
    // A device that went, once its board ended, leaves the table, not the summary.
    rig.present.erase(rig.present.begin());
    rig.ends(0, end_line("program", "removed", 1, "Board removed in the program stage after record 5 of 31."));
    rig.wait(LOOK_MS);
    EXPECT_FALSE(rig.station.ports()[0].listed);
    EXPECT_EQ(rig.ports_asked(ACTION_START_RUN).size(), 17u);  // its slot went to a device that waited
    const Json summary = rig.station.summary(rig.now);
    EXPECT_EQ(summary["ports"].size(), 20u);
    EXPECT_EQ(summary["ports"][0]["failed"], 1);
    EXPECT_EQ(summary["ports"][0]["mean_seconds"], 2.0);  // the board's own time
    EXPECT_EQ(summary["session"], "20261208T142233Z-4711");
}

}  // namespace
