// fwld-target's command line: option parsing, and the program itself run
// against a scripted tool.
#include <gtest/gtest.h>

#include <csignal>

#include "cli.h"
#include "testbed.h"
#include "tool_side.h"

using namespace tool_side;
using sim::CliOptions;
using sim::RecordAction;
using testbed::FwldProcess;

namespace {

CliOptions parse_ok(const std::vector<std::string>& args) {
    CliOptions o;
    std::string error;
    EXPECT_TRUE(sim::parse_command_line(args, &o, &error)) << error;
    return o;
}

std::string parse_error(const std::vector<std::string>& args) {
    CliOptions o;
    std::string error;
    EXPECT_FALSE(sim::parse_command_line(args, &o, &error));
    return error;
}

}  // namespace

TEST(TargetCli, OptionsFillTheConfig) {
    CliOptions o = parse_ok({"--link", "/tmp/l", "--baud=19200", "--line-rate", "--id", "12", "--ack-after", "3",
                             "--ack-text", "ready ok.", "--junk-before-ack", "a\\x80", "--ack-interleave", "\\r\\n",
                             "--ack-split", "20", "--g-before-ack", "--g-delay", "50", "--early-h", "--loader-out",
                             "l.bin", "--image-out", "i.bin", "--gap-timeout", "700", "--timeout", "9", "--quiet",
                             "--boards", "4", "--swap-at", "2:7", "--swap-at", "4:0", "--swap-delay", "250",
                             "--lines-dir", "/tmp/lines", "--reset-line", "rts"});
    const sim::TargetConfig& c = o.config;
    EXPECT_EQ(c.link_path, "/tmp/l");
    EXPECT_EQ(c.baud, 19200);
    EXPECT_TRUE(c.line_rate);
    EXPECT_EQ(c.id, 12);
    EXPECT_EQ(c.ack_after_passwords, 3);
    EXPECT_EQ(c.ack_text, "ready ok.");
    EXPECT_EQ(c.junk_before_ack, "a\x80");
    EXPECT_EQ(c.ack_interleave, "\r\n");
    EXPECT_EQ(c.ack_byte_delay, ms(20));
    EXPECT_TRUE(c.g_before_ack);
    EXPECT_EQ(c.g_delay, ms(50));
    EXPECT_TRUE(c.early_h);
    EXPECT_EQ(c.loader_out, "l.bin");
    EXPECT_EQ(c.image_out, "i.bin");
    EXPECT_EQ(c.byte_gap_timeout, ms(700));
    EXPECT_EQ(o.timeout_s, 9);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(c.boards, 4);
    EXPECT_EQ(c.swap_after, (std::map<int, int>{{2, 7}, {4, 0}}));
    EXPECT_EQ(c.swap_delay, ms(250));
    EXPECT_EQ(c.lines_folder, "/tmp/lines");
    EXPECT_EQ(c.reset_line, sim::ResetLine::Rts);
}

TEST(TargetCli, RecordActionsKeepTheirOrderPerRecord) {
    CliOptions o = parse_ok({"--resend-after", "2", "--speed-after", "2:115200", "--message-after", "2:FLASH OK\\n",
                             "--erase-list-after", "0", "--pause-after", "3", "--flash-type-after", "3:2",
                             "--error-after", "4:N:3", "--junk-after", "1:\\xff", "--silent-after", "5",
                             "--speed-line-after", "1:9600:bad line\\n", "--error-after", "6:e", "--hang-after", "5"});
    auto& a = o.config.actions;
    ASSERT_EQ(a[2].size(), 3u);
    EXPECT_EQ(a[2][0].kind, RecordAction::Resend);
    EXPECT_EQ(a[2][1].kind, RecordAction::Speed);
    EXPECT_EQ(a[2][1].baud, 115200);
    EXPECT_EQ(a[2][2].text, "FLASH OK\n");
    EXPECT_EQ(a[0][0].kind, RecordAction::EraseList);
    EXPECT_EQ(a[3][1].code, '2');
    EXPECT_EQ(a[4][0].code, 'N');
    EXPECT_EQ(a[4][0].detail, '3');
    EXPECT_EQ(a[1][0].text, "\xff");
    EXPECT_EQ(a[1][1].text, "bad line\n");
    EXPECT_EQ(a[1][1].baud, 9600);
    EXPECT_EQ(a[5][0].kind, RecordAction::Silent);
    EXPECT_EQ(a[5][1].kind, RecordAction::Hang);
    EXPECT_EQ(a[6][0].code, 'e');
}

TEST(TargetCli, ReplugPointsAreParsed) {
    CliOptions o = parse_ok({"--link", "/tmp/l", "--replug-at", "password:3:15", "--replug-at", "before-go",
                             "--replug-at", "after-go:40", "--replug-at", "loader:2", "--replug-at", "ready:4",
                             "--replug-at", "record:6:7"});
    const std::vector<sim::LinePull>& p = o.config.pulls;
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[0].where, sim::LinePull::AfterPassword);
    EXPECT_EQ(p[0].n, 3);
    EXPECT_EQ(p[0].delay, ms(15));
    EXPECT_EQ(p[1].where, sim::LinePull::BeforeGo);
    EXPECT_EQ(p[2].where, sim::LinePull::AfterGo);
    EXPECT_EQ(p[2].delay, ms(40));
    EXPECT_EQ(p[3].where, sim::LinePull::InLoader);
    EXPECT_EQ(p[3].n, 2);
    EXPECT_EQ(p[4].where, sim::LinePull::AfterReady);
    EXPECT_EQ(p[4].delay, ms(0));
    EXPECT_EQ(p[5].where, sim::LinePull::InRecord);
    EXPECT_EQ(p[5].n, 6);
    EXPECT_EQ(p[5].bytes, 7u);
    EXPECT_EQ(p[5].ask, 'R');
}

TEST(TargetCli, BadCommandLinesAreRefused) {
    const std::vector<std::vector<std::string>> bad = {
        {"--nope"},
        {"--id"},
        {"--id", "x"},
        {"--early-h=1"},
        {"--speed-after", "2"},
        {"--speed-after", "x:9600"},
        {"--flash-type-after", "1:3"},
        {"--error-after", "1:X"},
        {"--error-after", "1:E:3"},
        {"--junk-after", "1:\\q"},
        {"--replug-after", "1"},  // no link to re-point
        {"--replug-at", "loader:1"},
        {"--link", "/tmp/l", "--replug-at", "record:6"},  // how many bytes?
        {"--link", "/tmp/l", "--replug-at", "record:6:0"},
        {"--link", "/tmp/l", "--replug-at", "ready:0"},
        {"--link", "/tmp/l", "--replug-at", "loader:2:5"},
        {"--link", "/tmp/l", "--replug-at", "before-go:x"},
        {"--link", "/tmp/l", "--replug-at", "sideways:1"},
        {"--device", "/dev/ttyUSB0", "--link", "/tmp/x"},
        {"--pty", "--device", "/dev/ttyUSB0"},
        {"--swap-at", "2:1"},  // one board
        {"--boards", "2", "--swap-at", "0:1"},
        {"--boards", "2", "--swap-at", "1"},
        {"--boards", "0"},
        {"--reset-line", "cts"},
        {"--device", "/dev/ttyUSB0", "--reset-line", "dtr"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_FALSE(parse_error(args).empty());
    }
    std::string out;
    EXPECT_FALSE(sim::unescape("\\x4", &out));
    EXPECT_TRUE(sim::unescape("a\\x41\\0\\\\", &out));
    EXPECT_EQ(out, std::string("aA\0\\", 4));
}

namespace {

// fwld-target started as a program, with the scripted tool on its pty.
struct TargetProgram {
    FwldProcess proc;
    std::unique_ptr<testbed::SerialEnd> line;

    explicit TargetProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
        : proc(testbed::with_args(testbed::fwld_target_command(), args), env) {
        std::string path = testbed::target_device_path(proc, ms(10000));
        EXPECT_FALSE(path.empty()) << proc.err_so_far();
        if (!path.empty()) line = std::make_unique<testbed::SerialEnd>(path);
    }
};

}  // namespace

TEST(TargetProgram, RunMatchingTheExpectedFileExitsZero) {
    testbed::TempDir dir;
    std::string file = "S\x02" "ab\r\nS\x01" "cE";
    std::string prog = testbed::write_file(dir.file("prog.rec"), file);
    TargetProgram t({"--expect", prog, "--erase-list-after", "1", "--image-out", dir.file("img")});
    ASSERT_TRUE(t.line);
    wake(*t.line);
    t.line->send(loader_stream("x"));
    ASSERT_TRUE(answer_h(*t.line, "S\x02" "ab"));
    EXPECT_EQ(t.line->recv(1, kWait), "Z");
    t.line->send("Z0,1,2\n");
    ASSERT_TRUE(answer_h(*t.line, "S\x01" "c"));
    ASSERT_TRUE(answer_h(*t.line, "E"));
    // The target stays on the line until the tool has closed it.
    EXPECT_FALSE(t.proc.wait_exit(ms(300)));
    t.line.reset();
    testbed::ProcessResult r = t.proc.finish(ms(10000));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    sim::RecordList expected = *sim::records_from_file(prog);
    EXPECT_NE(r.out.find("records: 3\nbytes: 8\ndigest: " + expected.digest() + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("erase list: \"0,1,2\"\n"), std::string::npos);
    EXPECT_NE(r.out.find("verdict: intact\nexpected: match\n"), std::string::npos);
    EXPECT_NE(r.err.find("record 3: E, 1 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(testbed::read_file(dir.file("img")), testbed::to_bytes("S\x02" "abS\x01" "cE"));

    // --digest prints the same numbers for the file alone.
    testbed::ProcessResult d =
        FwldProcess(testbed::with_args(testbed::fwld_target_command(), {"--digest", prog})).finish(ms(10000));
    EXPECT_EQ(d.exit_code, 0);
    EXPECT_EQ(d.out, "records: 3\nbytes: 8\ndigest: " + expected.digest() + "\n");
}

TEST(TargetProgram, MismatchTimeoutAndSignalExitNonZero) {
    testbed::TempDir dir;
    std::string prog = testbed::write_file(dir.file("prog.rec"), "S\x01" "aE");
    {
        TargetProgram t({"--expect", prog, "--quiet"});
        ASSERT_TRUE(t.line);
        wake(*t.line);
        t.line->send(loader_stream(""));
        ASSERT_TRUE(answer_h(*t.line, "S\x01" "b"));
        ASSERT_TRUE(answer_h(*t.line, "E"));
        testbed::ProcessResult r = t.proc.finish(ms(10000));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("verdict: intact\nexpected: MISMATCH"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
    {
        TargetProgram t({"--timeout", "1"});
        testbed::ProcessResult r = t.proc.finish(ms(10000));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("timed out\n"), std::string::npos) << r.out;
    }
    {
        testbed::TempDir links;
        std::string link = links.file("ttyTARGET");
        TargetProgram t({"--link", link});
        ASSERT_EQ(access(link.c_str(), F_OK), 0);
        t.proc.kill(SIGTERM);
        testbed::ProcessResult r = t.proc.finish(ms(10000));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.out.find("interrupted\n"), std::string::npos) << r.out;
        EXPECT_NE(access(link.c_str(), F_OK), 0) << "link left behind";
    }
    testbed::ProcessResult bad =
        FwldProcess(testbed::with_args(testbed::fwld_target_command(), {"--bogus"})).finish(ms(10000));
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("unknown option --bogus"), std::string::npos);
}

TEST(TargetProgram, AFixtureSumsUpEachBoardAndCountsAScriptedTakeOutAsGood) {
    testbed::TempDir dir;
    const std::string file = "S\x02" "ab\r\nS\x01" "cE";
    const std::string prog = testbed::write_file(dir.file("prog.rec"), file);
    {
        TargetProgram t({"--expect", prog, "--boards", "2", "--swap-at", "1:1", "--swap-delay", "200"});
        ASSERT_TRUE(t.line);
        wake(*t.line);
        t.line->send(loader_stream("x"));
        ASSERT_TRUE(answer_h(*t.line, "S\x02" "ab"));
        ASSERT_TRUE(t.proc.wait_for_err("board 2 in\n", ms(10000)));
        wake(*t.line);
        t.line->send(loader_stream("x"));
        ASSERT_TRUE(answer_h(*t.line, "S\x02" "ab"));
        ASSERT_TRUE(answer_h(*t.line, "S\x01" "c"));
        ASSERT_TRUE(answer_h(*t.line, "E"));
        t.line.reset();
        testbed::ProcessResult r = t.proc.finish(ms(10000));
        EXPECT_EQ(r.exit_code, 0) << r.out;
        const std::string digest = sim::records_from_file(prog)->digest();
        EXPECT_NE(r.out.find("board: 1\nrecords: 1\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("taken out after record: 1\nverdict: taken out\nexpected: the first 1 match\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find("board: 2\nrecords: 3\nbytes: 8\ndigest: " + digest + "\n"), std::string::npos);
        EXPECT_TRUE(testbed::ends_with(r.out, "verdict: intact\nexpected: match\n"
                                              "fixture: 2 boards, 1 intact, 1 taken out, 0 failed, 0 never in\n"));
    }
    {
        TargetProgram t({"--boards", "2", "--timeout", "1", "--quiet"});
        testbed::ProcessResult r = t.proc.finish(ms(10000));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_TRUE(testbed::ends_with(r.out, "fixture: 2 boards, 0 intact, 0 taken out, 1 failed, 1 never in\n"))
            << r.out;
    }
}

TEST(TargetProgram, AHungResetLineBoardHoldsItsLinkUntilStoppedAndListsTheLines) {
    testbed::TempDir dir;
    testbed::ModemLines lines;
    const std::string link = dir.file("ttyTARGET");
    TargetProgram t({"--reset-line", "dtr", "--hang-after", "1", "--link", link, "--quiet"},
                    {"FWLD_MODEM_LINES=" + lines.folder()});
    ASSERT_TRUE(t.line);
    testbed::ProcessResult probe =
        FwldProcess(testbed::with_args(testbed::lines_probe_command(), {link, "-dtr", "50", "dtr"}), lines.env())
            .finish(ms(10000));
    ASSERT_EQ(probe.exit_code, 0) << probe.err;
    wake(*t.line);
    t.line->send(loader_stream(""));
    ASSERT_TRUE(answer_h(*t.line, "S\x01" "a"));
    t.line->send("abc");
    EXPECT_EQ(t.line->drain(ms(300)), "");
    EXPECT_FALSE(t.proc.wait_exit(ms(0)));
    EXPECT_EQ(access(link.c_str(), F_OK), 0);
    t.proc.kill(SIGTERM);
    testbed::ProcessResult r = t.proc.finish(ms(10000));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("hung: 3 byte(s) dropped since\n"), std::string::npos) << r.out;
    double off = 0, on = 0, woken = 0, reset = 0;
    const size_t at = r.out.find("lines: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                          "lines: DTR off %lf ms, DTR on %lf ms\nwoken by the line at: %lf ms\n"
                          "reset sentence at: %lf ms\n",
                          &off, &on, &woken, &reset),
              4)
        << r.out;
    EXPECT_GE(on - off, 49.0);
    EXPECT_EQ(woken, on);
    EXPECT_GT(reset, on);
}
