// Start-up of the built fwld: banner, usage, argument and file checks, port
// errors and the settings echo.
#include "e2e_support.h"

namespace e2e {
namespace {

testbed::ProcessResult run_fwld(const std::vector<std::string>& args) {
    return testbed::FwldProcess::fwld(args)->finish(10s);
}

std::string fatal(const std::string& message) { return "\n" + message + "\n"; }

TEST(Startup, NoArgumentsPrintsUsageAndStops) {
    const testbed::ProcessResult r = run_fwld({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err.rfind(banner_line, 0), 0u) << r.err;
    EXPECT_TRUE(ends_with(r.err, fatal(".The number of input file is not sufficient."))) << r.err;
    // Banner, a two-line notice, then the stop.
    EXPECT_EQ(count_of(r.err, "\n"), 3u + 2u);
}

TEST(Startup, FilesAreCheckedInOrderBeforeThePort) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    const std::string absent = dir.file("absent");
    // The port named here does not exist: a file error must come first.
    testbed::ProcessResult r = run_fwld({absent, absent, "0", "0", "20", "0", "/nonexistent/tty"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, fatal("Loader file can not open."))) << r.err;
    r = run_fwld({loader, absent, "0", "0", "20", "0", "/nonexistent/tty"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, fatal("Hex file can not open."))) << r.err;
    EXPECT_EQ(r.err.find("LastError"), std::string::npos);
    r = run_fwld({loader, program, "0", "0", "20", "0", "/nonexistent/tty"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "LastError(INVALID_HANDLE_VALUE)=2\n" + fatal("Can not open com port\n"))) << r.err;
}

TEST(Startup, PortNumbersWithoutSlotFailWithoutDiagnostic) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    for (const char* port : {"32", "-1", "32:19200"}) {
        const testbed::ProcessResult r = run_fwld({loader, program, "0", "0", "20", "0", port});
        EXPECT_EQ(r.exit_code, 1) << port;
        EXPECT_TRUE(ends_with(r.err, "TARGET POWER ON.\n") == false) << port;
        EXPECT_EQ(r.err.find("LastError"), std::string::npos) << port;
        EXPECT_TRUE(ends_with(r.err, fatal("Can not open com port\n"))) << port << r.err;
    }
}

TEST(Startup, PortZeroHasNoDevice) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    const testbed::ProcessResult r = run_fwld({loader, program, "0", "0", "20", "0", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(ends_with(r.err, "LastError(INVALID_HANDLE_VALUE)=2\n" + fatal("Can not open com port\n"))) << r.err;
}

TEST(Startup, BadSettingsAreRefusedBeforeAnythingIsOpened) {
    testbed::TempDir dir;
    const std::string absent = dir.file("absent");
    struct Case {
        std::vector<std::string> args;
        const char* names;
    };
    const Case cases[] = {
        {{absent, absent, "0", "-2"}, "p2"},
        {{absent, absent, "0", "0", "-20"}, "p3"},
        {{absent, absent, "0", "0", "20", "0", "1", "-5"}, "p6"},
        {{absent, absent, "0", "0", "20", "0", "1", "0", "LD-5/2"}, "LD"},
        {{absent, absent, "0", "0", "20", "0", "1:0"}, "p5"},
    };
    for (const Case& c : cases) {
        const testbed::ProcessResult r = run_fwld(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("can not open"), std::string::npos) << r.err;
    }
}

TEST(Startup, EchoesTheSettingsThenWaitsForTheTargetUntilAKey) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    auto tool = testbed::FwldProcess::fwld(
        {loader, program, "7", "3", "40", "5", line.slave_path() + ":57600", "9", "LD20/8", "ES0,1,2"});
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s)) << tool->err_so_far();
    tool->press_key('q');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    const std::string echo = "Erase Wait time:7sec\n"
                             "Write Wait time:3msec\n"
                             "Password output interval:40msec\n"
                             "Port no. = " + line.slave_path() + "\n"
                             "Baudrate:57600bps\n"
                             "New wait time:9msec\n"
                             " - ROM erase sectors:0,1,2\n"
                             " - Loader sending wait time:20msec/8records\n"
                             "TARGET POWER ON.\n";
    // The key ends the run silently: the echo is the last thing written.
    EXPECT_TRUE(ends_with(r.err, echo)) << r.err;
    EXPECT_EQ(r.out, usage_text);
    termios t{};
    ASSERT_EQ(tcgetattr(line.master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
}

TEST(Startup, TheTerminalIsRestoredAndTheKeyDiscardedAtExit) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    // A shell that runs fwld, then reports its terminal mode and what input
    // is left for it.
    const std::string script = testbed::write_file(
        dir.file("run.sh"), "stty -g > " + dir.file("before") + "\n\"$@\"\necho status=$? >&2\nstty -g > " +
                                dir.file("after") + "\n");
    std::vector<std::string> args = {"/bin/sh", script};
    for (const std::string& word : testbed::fwld_command()) args.push_back(word);
    for (const std::string& a : {loader, program, std::string("0"), std::string("0"), std::string("20"),
                                 std::string("0"), line.slave_path()}) {
        args.push_back(a);
    }
    testbed::FwldProcess shell(args);
    ASSERT_TRUE(shell.wait_for_err("TARGET POWER ON.\n", 10s)) << shell.err_so_far();
    shell.press_key('z');
    const testbed::ProcessResult r = shell.finish(10s);
    EXPECT_NE(r.err.find("status=1"), std::string::npos) << r.err;
    const sim::Bytes before = testbed::read_file(dir.file("before"));
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(before, testbed::read_file(dir.file("after")));
}

TEST(Startup, CtrlCRestoresTheTerminal) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    // The shell survives the interrupt (a trap is reset to the default in
    // fwld) and records the terminal mode afterwards.
    const std::string script = testbed::write_file(
        dir.file("run.sh"), "trap 'echo trapped >&2' INT\nstty -g > " + dir.file("before") +
                                "\n\"$@\"\necho status=$? >&2\nstty -g > " + dir.file("after") + "\n");
    std::vector<std::string> args = {"/bin/sh", script};
    for (const std::string& word : testbed::fwld_command()) args.push_back(word);
    for (const std::string& a : {loader, program, std::string("0"), std::string("0"), std::string("20"),
                                 std::string("0"), line.slave_path()}) {
        args.push_back(a);
    }
    testbed::FwldProcess shell(args);
    ASSERT_TRUE(shell.wait_for_err("TARGET POWER ON.\n", 10s)) << shell.err_so_far();
    shell.press_key('\x03');
    const testbed::ProcessResult r = shell.finish(10s);
    EXPECT_NE(r.err.find("status=130"), std::string::npos) << r.err;
    const sim::Bytes before = testbed::read_file(dir.file("before"));
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(before, testbed::read_file(dir.file("after")));
}

}  // namespace
}  // namespace e2e
