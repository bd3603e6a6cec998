// Start-up of the built fwld: banner, usage, argument and file checks, port
// errors and the settings echo.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

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
    // Files, not the devices COM1 and NUL that Windows finds in every folder.
    const std::string loader = testbed::write_file(dir.file("com10.bin"), "x");
    const std::string program = testbed::write_file(dir.file("nul1.hex"), "E");
    const std::string absent = dir.file("absent");
    // The port named here does not exist: a file error must come first.
    testbed::ProcessResult r = run_fwld({absent, absent, "0", "0", "20", "0", testbed::port_for("/nonexistent/tty")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\nLoader file can not open.\n\"" + absent + "\": "), std::string::npos) << r.err;
    r = run_fwld({loader, absent, "0", "0", "20", "0", testbed::port_for("/nonexistent/tty")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("\nHex file can not open.\n\"" + absent + "\": "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("LastError"), std::string::npos);
    r = run_fwld({loader, program, "0", "0", "20", "0", testbed::port_for("/nonexistent/tty")});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("LastError(INVALID_HANDLE_VALUE)=2\nPort "), std::string::npos) << r.err;
    EXPECT_TRUE(ends_with(r.err, fatal("Can not open com port\n"))) << r.err;
}

// Runs fwld against a target with the given input files and checks that the
// run stopped with the message before the port opened.
void expect_refused_before_the_port(const std::string& loader, const std::string& program,
                                    const std::string& message) {
    sim::SimTarget target({});
    ASSERT_TRUE(target.start()) << target.last_error();
    const testbed::ProcessResult r =
        run_fwld({loader, program, "0", "0", "20", "0", testbed::port_for(target.device_path())});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_FALSE(r.timed_out);
    EXPECT_NE(r.err.find("\n" + message), std::string::npos) << r.err;
    EXPECT_TRUE(ends_with(r.err, ".\n")) << r.err;
    EXPECT_EQ(r.err.find("TARGET POWER ON."), std::string::npos) << r.err;
    // fwld --check says the same, and the same alone.
    const testbed::ProcessResult checked =
        run_fwld({"--check", loader, program, "0", "0", "20", "0", testbed::port_for(target.device_path())});
    EXPECT_EQ(checked.exit_code, 1);
    EXPECT_EQ(checked.out, "");
    EXPECT_EQ(checked.err.rfind("\n" + message, 0), 0u) << checked.err;
    EXPECT_TRUE(ends_with(checked.err, ".\n")) << checked.err;
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(target.report().received.empty());
}

// Each path refused as the loader and as the program file, with the fixed
// line, then the path and the reason.
void expect_input_refused(const std::string& path, const std::string& reason) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    expect_refused_before_the_port(path, program, "Loader file can not open.\n\"" + path + "\": " + reason);
    expect_refused_before_the_port(loader, path, "Hex file can not open.\n\"" + path + "\": " + reason);
}

TEST(Startup, DirectoriesDevicesAndMissingFilesAreRefusedBeforeThePort) {
    testbed::TempDir dir;
    expect_input_refused(dir.path(), "Is a directory.");
    // A serial line among them: it is refused before anything opens it.
    testbed::Pty line;
    const bool windows = testbed::ports_are_com_numbers();
    expect_input_refused(windows ? "\\\\.\\COM" + testbed::port_for(line.slave_path()) : line.slave_path(),
                         "Is a device, not a file.");
    expect_input_refused(windows ? "nul" : "/dev/null", "Is a device, not a file.");
    if (windows) expect_input_refused("sub\\COM1.txt", "Is a device, not a file.");  // in any folder
    expect_input_refused(dir.file("absent"), "");  // the system's words
}

TEST(Startup, AFifoIsRefusedWithoutBeingOpened) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows has no FIFO in its file system";
    testbed::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A writer waits in open() until a reader opens the FIFO: fwld must not.
    std::atomic<bool> writer_in{false};
    std::thread writer([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        writer_in = true;
        if (fd >= 0) close(fd);
    });
    expect_input_refused(fifo, "Is a FIFO, not a file.");
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(writer_in);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go
    writer.join();
    close(reader);
}

TEST(Startup, AFileWithoutReadPermissionIsRefused) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads a file without read permission";
    testbed::TempDir dir;
    const std::string locked = testbed::write_file(dir.file("locked"), "E");
    ASSERT_EQ(chmod(locked.c_str(), 0200), 0);
    expect_input_refused(locked, testbed::ports_are_com_numbers() ? "" : "Permission denied.");
}

TEST(Startup, ProgramFilesThatCannotBeRightAreRefusedBeforeThePort) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    struct Case {
        const char* file;
        std::string bytes;
        const char* says;
    };
    const Case cases[] = {
        {"empty.hex", "", "holds no program record ('S' or 'E'): nothing would be sent."},
        {"open.hex", std::string("S\x02\x01\x02\r\nE\r\nS\x01\x01\r\n", 14),
         "has no E record after its last S record (byte 9): the target would never be told that the image ended."},
        {"app.ihx", ":0300300002337A1E\r\n:00000001FF\r\n",
         "is an Intel HEX file; fwld sends binary 'S'/'E' program records."},
        {"app.s19", "S1130000285F245F2212226A000424290008237C2A\nS9030000FC\n",
         "is a Motorola S-record file; fwld sends binary 'S'/'E' program records."},
    };
    for (const Case& c : cases) {
        const std::string program = testbed::write_file(dir.file(c.file), c.bytes);
        expect_refused_before_the_port(loader, program, "Hex file \"" + program + "\" " + c.says);
    }
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
    EXPECT_NE(r.err.find("LastError(INVALID_HANDLE_VALUE)=2\nPort "), std::string::npos) << r.err;
    EXPECT_TRUE(ends_with(r.err, fatal("Can not open com port\n"))) << r.err;
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
        // Words out of their place: a left-out parameter shifts the rest.
        {{absent, absent, "2", "2", "100", "0", "3:9600", "LG" + dir.file("runs.jsonl")},
         "runs.jsonl stands as p6: options come after p6."},
        {{absent, absent, "3", "2", "100", "./ttyNA:115200"}, "p4 looks like a port: is a parameter missing?"},
        {{absent, absent, "99999999999"}, "p1 \"99999999999\" does not fit in 32 bits."},
        {{absent, absent, "0", "0", "20", "0", "1", "0", "TO0"}, "TO takes the seconds"},
    };
    for (const Case& c : cases) {
        const testbed::ProcessResult r = run_fwld(c.args);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("can not open"), std::string::npos) << r.err;
    }
    // Refused before anything is written: no result log either.
    EXPECT_TRUE(testbed::read_file(dir.file("runs.jsonl")).empty());
}

// --check: what a run would take passes without a word and without a port,
// a log or a stream being opened; a note fails it as a refusal does.
TEST(Startup, CheckTakesWhatARunTakesAndNothingElse) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "S\x01\x01\r\nE\r\n");
    const std::string log = dir.file("runs.jsonl");
    const std::vector<std::string> run = {"--check", loader, program, "0", "0", "20", "0",
                                          testbed::port_for("/nonexistent/tty") + ":115200", "0"};
    const struct {
        std::vector<std::string> options;
        int exit;
        const char* says;  // the start of stderr
    } cases[] = {
        {{"TO60", "RM", "LG" + log, "EV" + dir.file("events.jsonl")}, 0, ""},
        {{"To10"}, 1, "Note: 'To10' after p6 is no option fwld knows"},
        {{"TO0"}, 1, "\nTO0: TO takes the seconds"},
        {{"RMx"}, 1, "\nRMx: RM takes nothing after it."},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = run;
        args.insert(args.end(), c.options.begin(), c.options.end());
        const testbed::ProcessResult r = run_fwld(args);
        EXPECT_EQ(r.exit_code, c.exit) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
        if (c.exit == 0) {
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_NE(access(log.c_str(), F_OK), 0);
    EXPECT_NE(access(dir.file("events.jsonl").c_str(), F_OK), 0);
}

TEST(Startup, EchoesTheSettingsThenWaitsForTheTargetUntilAKey) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    auto tool = testbed::FwldProcess::fwld({loader, program, "7x", "3", "40", "5",
                                            testbed::port_for(line.slave_path()) + ":57600", "9", "LD20/8", "ES0,1,2",
                                            "ld5"});
    ASSERT_TRUE(tool->wait_for_err("TARGET POWER ON.\n", 10s)) << tool->err_so_far();
    tool->press_key('q');
    const testbed::ProcessResult r = tool->finish(10s);
    EXPECT_EQ(r.exit_code, 1);
    // What was read otherwise than it may have been meant, before anything else.
    const std::string notes = "Note: p1 '7x' was read as 7.\n"
                              "Note: 'ld5' after p6 is no option fwld knows and is ignored; the options are LDt/r, "
                              "ESs, TRpath, LGpath, TOs, EVpath, RM and RSsteps.\n";
    EXPECT_NE(r.err.find(notes + "Erase Wait time:7sec\n"), std::string::npos) << r.err;
    const std::string echo = "Erase Wait time:7sec\n"
                             "Write Wait time:3msec\n"
                             "Password output interval:40msec\n"
                             "Port no. = " + testbed::port_for(line.slave_path()) + "\n"
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

// Runs fwld from a shell on the test's terminal, ends it with a key, and
// reports the terminal mode before and after, and any input left over.
struct TerminalCheck {
    testbed::ProcessResult shell;
    sim::Bytes before, after, leftover;
};

TerminalCheck end_with_key_under_shell(char key) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    // The trap keeps the shell alive through Ctrl-C (fwld gets the default).
    const std::string script = testbed::write_file(
        dir.file("run.sh"), "trap 'echo trapped >&2' INT\n"
                            "stty -g > " + dir.file("before") + "\n"
                            "\"$@\"\n"
                            "echo status=$? >&2\n"
                            "stty -g > " + dir.file("after") + "\n"
                            "stty -icanon min 0 time 2\n"
                            "dd bs=1 count=1 of=" + dir.file("leftover") + " 2>/dev/null\n"
                            "stty \"$(cat " + dir.file("before") + ")\"\n");
    std::vector<std::string> args = {"/bin/sh", script};
    for (const std::string& word : testbed::fwld_command()) args.push_back(word);
    for (const std::string& a : {loader, program, std::string("0"), std::string("0"), std::string("20"),
                                 std::string("0"), testbed::port_for(line.slave_path())}) {
        args.push_back(a);
    }
    testbed::FwldProcess shell(args);
    EXPECT_TRUE(shell.wait_for_err("TARGET POWER ON.\n", 10s)) << shell.err_so_far();
    shell.press_key(key);
    TerminalCheck check;
    check.shell = shell.finish(10s);
    check.before = testbed::read_file(dir.file("before"));
    check.after = testbed::read_file(dir.file("after"));
    check.leftover = testbed::read_file(dir.file("leftover"));
    return check;
}

TEST(Startup, TheTerminalIsRestoredAndTheKeyDiscardedAtExit) {
    const TerminalCheck check = end_with_key_under_shell('z');
    EXPECT_NE(check.shell.err.find("status=1\n"), std::string::npos) << check.shell.err;
    EXPECT_FALSE(check.before.empty());
    EXPECT_EQ(check.before, check.after);
    EXPECT_TRUE(check.leftover.empty());  // the key does not spill into the shell
}

TEST(Startup, CtrlCRestoresTheTerminal) {
    const TerminalCheck check = end_with_key_under_shell('\x03');
    // Killed by SIGINT natively; on Windows the status of a program ended by
    // Ctrl-C (STATUS_CONTROL_C_EXIT, whose low byte Wine passes on).
    const char* status = testbed::ports_are_com_numbers() ? "status=58\n" : "status=130\n";
    EXPECT_NE(check.shell.err.find(status), std::string::npos) << check.shell.err;
    EXPECT_FALSE(check.before.empty());
    EXPECT_EQ(check.before, check.after);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST(Startup, CtrlZWithoutJobControlKeepsTheKeyboardWorking) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    auto tool = testbed::FwldProcess::fwld({loader, program, "0", "0", "20", "0", testbed::port_for(line.slave_path())});
    const int tty = open(tool->tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(tty, 0);
    auto canonical = [tty] {
        termios t{};
        tcgetattr(tty, &t);
        return (t.c_lflag & ICANON) != 0;
    };
    auto wait_for_mode = [&](bool want) {
        for (int i = 0; i < 500 && canonical() != want; ++i) std::this_thread::sleep_for(10ms);
        return canonical() == want;
    };
    ASSERT_TRUE(wait_for_mode(false));  // fwld has taken the keyboard
    // The terminal is handed back; nobody could resume a stopped fwld here,
    // so it carries on and takes the keyboard again.
    tool->press_key('\x1a');
    EXPECT_FALSE(tool->wait_exit(300ms));
    EXPECT_TRUE(wait_for_mode(false));
    close(tty);
    tool->press_key('k');  // a single key, no Enter
    const testbed::ProcessResult r = tool->finish(5s);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 1);
}

}  // namespace
}  // namespace e2e
