// fwld-gang's portable logic: its command line, the program file's layout,
// and the port state machine fed with fwld's console output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gang.h"
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
    EXPECT_TRUE(substitute_port(p.args, port, text, sizeof text));
    return text;
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
    EXPECT_EQ(erase_wait_seconds(p.args), 3);

    const Parsed bare = parse(with({"3"}, {"--", "l", "p", "x", "2", "100", "0", "@"}));
    ASSERT_EQ(bare.request, GANG_RUN) << bare.refusal;
    EXPECT_EQ(p5_of(bare, 0), "3");
    EXPECT_EQ(bare.args.log_dir, nullptr);
    EXPECT_EQ(erase_wait_seconds(bare.args), 125);  // p1 not a number: fwld's default
}

TEST(GangArgs, BadCommandLinesAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    std::vector<std::string> many;
    for (int i = 0; i < 33; ++i) many.push_back("p" + std::to_string(i));
    const Case cases[] = {
        {{"COM4", "l", "p", "3", "2", "100", "0", "@"}, "no \"--\""},
        {fwld_args("@"), "no port"},
        {with({"COM4"}, {"--", "l", "p", "3", "2", "100", "0"}), "end before p5"},
        {with({"COM4"}, fwld_args("COM4:115200")), "must be @ or @:BAUD"},
        {with({"COM4"}, fwld_args("@x")), "must be @ or @:BAUD"},
        {with({"COM4,,COM5"}, fwld_args("@")), "empty port name"},
        {with({"--log", "x", "COM4"}, fwld_args("@")), "unknown option"},
        {with({"COM4", "--logs"}, fwld_args("@")), "--logs needs a directory"},
        {with(many, fwld_args("@")), "at most 32 ports"},
        {with({std::string(GANG_TEXT_MAX - 2, 'x')}, fwld_args("@:115200")), "too long"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.request, GANG_REFUSED) << c.says;
        EXPECT_NE(p.refusal.find(c.says), std::string::npos) << p.refusal;
    }
    EXPECT_EQ(parse({"--help"}).request, GANG_HELP);
    EXPECT_EQ(parse({"--version"}).request, GANG_VERSION);
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

TEST(GangArgs, LogNamesAreSafeAndDistinct) {
    const Parsed p = parse(with({"/dev/ttyUSB0,\\\\.\\COM12,./ttyT,../../etc/x,a/b,a_b,A_B"}, fwld_args("@")));
    ASSERT_EQ(p.request, GANG_RUN) << p.refusal;
    char names[GANG_PORTS_MAX][GANG_TEXT_MAX];
    log_file_names(p.args, names);
    const char* expected[] = {"ttyUSB0.log", "COM12.log", "ttyT.log", "etc_x.log", "a_b.log", "a_b-2.log", "A_B-3.log"};
    for (int i = 0; i < 7; ++i) EXPECT_STREQ(names[i], expected[i]);
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

// ---- the program file ----

ProgramLayout layout_of(const std::string& bytes) {
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    ProgramLayout layout;
    read_program_layout(file, &layout);
    std::fclose(file);
    return layout;
}

TEST(GangLayout, EachPercentageMapsToTheRecordsSentWhenFwldFirstShowsIt) {
    // 13 bytes: the plain ratio. Records of 5, 4 and 1 bytes: 38 %, 69 %, 76 %.
    const ProgramLayout small =
        layout_of(std::string("S\x03"
                              "abc\r\nS\x02xyE",
                              13));
    ASSERT_TRUE(small.known);
    EXPECT_EQ(small.record_count, 3);
    EXPECT_EQ(small.record_bytes, 10);
    EXPECT_EQ(small.records_at[0], 1);
    EXPECT_EQ(small.records_at[38], 1);
    EXPECT_EQ(small.bytes_at[38], 5);
    EXPECT_EQ(small.records_at[39], 2);
    EXPECT_EQ(small.records_at[69], 2);
    EXPECT_EQ(small.records_at[70], 3);
    EXPECT_EQ(small.records_at[PERCENT_STEPS - 1], 3);
    // 1203 bytes: hundredths of 12 bytes; records of 10 bytes each.
    std::string big;
    for (int r = 0; r < 100; ++r) big += std::string("S\x08") + "12345678\r\n";
    const ProgramLayout layout = layout_of(big + "E\r\n");
    ASSERT_TRUE(layout.known);
    EXPECT_EQ(layout.record_bytes, 1001);
    EXPECT_EQ(layout.records_at[10], 12);  // 120 bytes
    EXPECT_EQ(layout.records_at[30], 36);
    EXPECT_EQ(layout.bytes_at[83], 1000);  // 996 bytes would do: 100 records
    EXPECT_EQ(layout.records_at[84], 101);
    EXPECT_FALSE(layout_of("S\x05"
                           "ab")
                     .known);  // cut short: fwld refuses it too
    EXPECT_FALSE(layout_of(std::string("S\x7f") + std::string(127, 'x')).known);
}

// ---- the port state machine ----

const std::string session_start =
    "Program upload utility Version 8.00\n  Rewrites a target's program memory over a serial line.\n"
    "fwld infile1 infile2 p1 p2 p3 p4 p5 p6 p7\n"
    "Erase Wait time:1sec\nPort no. = ./ttyT\nBaudrate:115200bps\nTARGET POWER ON.\n";
const std::string session_loader =
    "Execute STEP1\n-026 % completed.\r-100 % completed.\r                    \rExecute STEP2\n723Byte transfer\n";
const std::string session_erase = "Erase time 0sec\rErase time 1sec\r\n";
const std::string session_program = "-004 % completed.\r>>hello\n-029 % completed.\r";
const std::string session_finish = "|097 % completed.\rFinish version up.     \a\n";

std::vector<Stage> feed(PortState* state, const std::string& text, size_t chunk) {
    std::vector<Stage> stages;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t at = 0; at < text.size(); at += chunk) {
        const size_t n = std::min(chunk, text.size() - at);
        for (size_t taken = 0; taken < n;) {
            const Stage before = state->stage;
            taken += port_state_feed(state, bytes + at + taken, n - taken, 0);
            if (state->stage != before) stages.push_back(state->stage);
        }
    }
    return stages;
}

TEST(GangPortState, ATypicalSessionPassesEveryStageHoweverItArrives) {
    const std::string all = session_start + session_loader + session_erase + session_program + session_finish;
    const std::vector<Stage> expected = {STAGE_POWER_ON, STAGE_LOADER, STAGE_PROGRAM, STAGE_ERASE, STAGE_PROGRAM};
    for (size_t chunk : {size_t{1}, size_t{7}, all.size()}) {
        PortState state;
        port_state_start(&state, 0);
        EXPECT_EQ(feed(&state, all, chunk), expected) << chunk;
        EXPECT_EQ(state.percent, 97);
        port_state_end(&state, ChildEnd{END_EXIT, 0}, false, 0);
        EXPECT_EQ(state.stage, STAGE_DONE);
        EXPECT_STREQ(state.message, "Finish version up.");
    }
    PortState state;
    port_state_start(&state, 0);
    feed(&state, session_start + session_loader + session_erase + "-004 % completed.\r>>hello\n", 1);
    EXPECT_STREQ(state.message, ">>hello");
}

TEST(GangPortState, HowFwldEndedGivesTheOutcomeAndTheFinalMessage) {
    const std::string running = session_start + session_loader + session_erase + session_program;
    struct Case {
        std::string output;
        ChildEnd end;
        bool key_sent;
        Stage stage;
        const char* message;
    };
    const Case cases[] = {
        {running + "-042 % completed.\rN-1\n\nWrite Error\a\n", {END_EXIT, 1}, false, STAGE_FAILED, "Write Error"},
        {running + "\nThe line failed while the program was sent: the target may hold an incomplete image.\n"
                   "Switch the target off and on again, then run fwld again.\a\n",
         {END_EXIT, 1},
         false,
         STAGE_FAILED,
         "The line failed while the program was sent: the target may hold an incomplete image."},
        {"Program upload utility Version 8.00\nSerial devices on this machine:\n  /dev/ttyS0\n\nCan not open com "
         "port\n\n",
         {END_EXIT, 1},
         false,
         STAGE_FAILED,
         "Can not open com port"},
        {running + "-042 % completed.\rInterruption.          \a\n",
         {END_EXIT, 1},
         true,
         STAGE_STOPPED,
         "Interruption."},
        {session_start, {END_EXIT, 1}, true, STAGE_STOPPED, "stopped before the transfer"},
        {session_start, {END_EXIT, 1}, false, STAGE_FAILED, "fwld ended with status 1"},
        // A target's message is no stop message once progress followed it.
        {running, {END_EXIT, 1}, false, STAGE_FAILED, "fwld ended with status 1"},
        {running, {END_SIGNAL, 9}, false, STAGE_FAILED, "fwld ended by signal 9"},
        {running, {END_CTRL_C, 2}, true, STAGE_STOPPED, "fwld ended by Ctrl-C"},
        {"\nfwld-gang: can not run /x/fwld: No such file or directory\n",
         {END_EXIT, 127},
         false,
         STAGE_FAILED,
         "fwld-gang: can not run /x/fwld: No such file or directory"},
    };
    for (const Case& c : cases) {
        PortState state;
        port_state_start(&state, 0);
        feed(&state, c.output, c.output.size());
        port_state_end(&state, c.end, c.key_sent, 0);
        EXPECT_EQ(state.stage, c.stage) << c.message;
        EXPECT_STREQ(state.message, c.message);
    }
}

TEST(GangPortState, RateAndTimeLeftComeFromThePercentagesAndTheFile) {
    std::string file;
    for (int r = 0; r < 100; ++r) file += std::string("S\x08") + "12345678\r\n";
    const ProgramLayout layout = layout_of(file + "E\r\n");
    PortState state;
    port_state_start(&state, 0);
    const auto at = [&](const std::string& text, uint32_t ms) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
        for (size_t taken = 0; taken < text.size();)
            taken += port_state_feed(&state, bytes + taken, text.size() - taken, ms);
    };
    at(session_start + session_loader + "Erase time 3sec\r", 0);
    EXPECT_EQ(port_figures(state, layout, 30, 0).seconds_left, 27);
    at("\n-010 % completed.\r", 1000);
    EXPECT_LT(port_figures(state, layout, 30, 1000).records_per_s, 0);  // one point is no rate
    at("|020 % completed.\r-030 % completed.\r", 3000);
    const PortFigures f = port_figures(state, layout, 30, 3000);
    EXPECT_DOUBLE_EQ(f.records_per_s, 12.0);  // records 12 to 36 in 2 s
    EXPECT_EQ(f.bytes_sent, 360);
    EXPECT_EQ(f.seconds_left, 5);  // 641 bytes at 120 bytes/s
    EXPECT_EQ(port_figures(state, layout, 30, 5000).seconds_left, 3);
    port_state_end(&state, ChildEnd{END_EXIT, 0}, false, 9000);
    EXPECT_EQ(port_figures(state, layout, 30, 20000).bytes_sent, 1001);
    EXPECT_EQ(port_figures(state, layout, 30, 20000).elapsed_ms, 9000u);
}

}  // namespace
