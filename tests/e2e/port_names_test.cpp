// Port names as users type them, ports that do not open, and --help,
// --version and --list, against the built fwld.
#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "e2e_support.h"

namespace e2e {
namespace {

testbed::ProcessResult run_fwld(const std::vector<std::string>& args) {
    return testbed::FwldProcess::fwld(args)->finish(10s);
}

// A complete update through the given p5, which must reach the target.
void expect_update_through(sim::SimTarget& target, const std::string& p5, const std::string& echoed) {
    Inputs in(loader_bytes(100), mixed_program());
    std::vector<std::string> args = quick_args(in, target.device_path());
    args[6] = p5;
    const testbed::ProcessResult r = testbed::FwldProcess::fwld(args)->finish(20s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("Port no. = " + echoed + "\nBaudrate:115200bps\n"), std::string::npos) << r.err;
    ASSERT_TRUE(target.wait_done(2s));
    EXPECT_TRUE(target.report().matches(expected_records(mixed_program())));
}

TEST(PortNames, ComNumberInAnyCaseIsThatPort) {
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    std::string number;
    if (testbed::ports_are_com_numbers()) {
        number = testbed::port_for(target.device_path());
        expect_update_through(target, "cOm" + number + ":115200", number);
        return;
    }
    // Port n is /dev/ttyS<n-1>: publish the target there under a free number.
    const testbed::DevLink uart("ttyS", target.device_path(), 19, 30);
    if (uart.path().empty()) GTEST_SKIP() << "no free /dev/ttyS19..30 to publish the target at";
    number = std::to_string(std::stoi(uart.name().substr(4)) + 1);
    expect_update_through(target, "cOm" + number + ":115200", number);
}

TEST(PortNames, BareNameUnderDevIsThatDevice) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "bare names are looked up under /dev";
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    const testbed::DevLink device("fwld-e2e-tty", target.device_path());
    if (device.path().empty()) GTEST_SKIP() << "/dev is not writable here";
    expect_update_through(target, device.name() + ":115200", device.path());
}

// The loader file does not exist: a refusal that comes first proves that
// nothing was opened before it.
TEST(PortNames, TextsThatNameNoPortAreRefusedBeforeAnythingIsOpened) {
    testbed::TempDir dir;
    const std::string absent = dir.file("absent");
    struct Case {
        const char* p5;
        const char* says;
    };
    const Case cases[] = {
        {"99999999999999", "p5 port number \"99999999999999\" does not fit in 32 bits."},
        {"1:99999999999", "p5 baud rate \"99999999999\" does not fit in 32 bits."},
        {"COM4294967297", "p5 port number \"4294967297\" does not fit in 32 bits."},
        {"COMx", "p5 \"COMx\" names no serial port"},
        {"usb", "p5 \"usb\" names no serial port"},
        {"usb-fwld-absent:115200", "p5 \"usb-fwld-absent:115200\" names no serial port"},
    };
    for (const Case& c : cases) {
        const testbed::ProcessResult r = run_fwld({absent, absent, "0", "0", "20", "0", c.p5});
        EXPECT_EQ(r.exit_code, 1) << c.p5;
        EXPECT_NE(r.err.find("\n" + std::string(c.says)), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("can not open"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("LastError"), std::string::npos) << r.err;
    }
    // Empty and "-" keep port 1, as a placeholder before p6.
    for (const char* placeholder : {"", "-"}) {
        const testbed::ProcessResult r = run_fwld({absent, absent, "0", "0", "20", "0", placeholder, "5"});
        EXPECT_NE(r.err.find("\nLoader file can not open.\n\"" + absent + "\": "), std::string::npos) << r.err;
    }
}

// What follows the diagnostic line: "Port <device>: <reason>. <hint>", the
// device list, then the stop.
struct OpenFailure {
    std::string diagnostic, reason, listing;
};

OpenFailure open_failure(const std::string& p5) {
    testbed::TempDir dir;
    const std::string loader = testbed::write_file(dir.file("l.bin"), "x");
    const std::string program = testbed::write_file(dir.file("p.hex"), "E");
    const testbed::ProcessResult r = run_fwld({loader, program, "0", "0", "20", "0", p5});
    EXPECT_EQ(r.exit_code, 1);
    const std::string stop = "\nCan not open com port\n\n";
    EXPECT_TRUE(ends_with(r.err, stop)) << r.err;
    OpenFailure f;
    const size_t at = r.err.find("LastError");
    if (at == std::string::npos || !ends_with(r.err, stop)) return f;
    std::string lines = r.err.substr(at, r.err.size() - at - stop.size());
    f.diagnostic = lines.substr(0, lines.find('\n') + 1);
    lines.erase(0, f.diagnostic.size());
    f.reason = lines.substr(0, lines.find('\n') + 1);
    f.listing = lines.substr(f.reason.size());
    return f;
}

void expect_a_device_listing(const std::string& listing) {
    const bool none = listing == "No serial devices found on this machine.\n";
    EXPECT_TRUE(none || listing.rfind("Serial devices on this machine:\n  ", 0) == 0) << listing;
}

TEST(OpenFailure, AMissingDeviceIsNamedWithTheReasonAndTheDevicesThatExist) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "POSIX device names and error texts";
    // A bare name that looks like an adapter's is explained like its path.
    for (const std::string p5 : {"/nonexistent/fwld-tty", "ttyUSB-fwld-absent:115200"}) {
        const std::string device = p5[0] == '/' ? p5 : "/dev/ttyUSB-fwld-absent";
        const OpenFailure f = open_failure(p5);
        EXPECT_EQ(f.diagnostic, "LastError(INVALID_HANDLE_VALUE)=2\n");
        EXPECT_EQ(f.reason.rfind("Port " + device + ": No such file or directory. ", 0), 0u) << f.reason;
        expect_a_device_listing(f.listing);
    }
}

TEST(OpenFailure, AFileThatIsNoTerminalIsSaidToBeNoSerialDevice) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "POSIX device names and error texts";
    testbed::TempDir dir;
    const std::string file = testbed::write_file(dir.file("not-a-port"), "x");
    const OpenFailure f = open_failure(file);
    EXPECT_EQ(f.diagnostic, "LastError=25\n");
    EXPECT_EQ(f.reason, "Port " + file + ": Inappropriate ioctl for device. The path is not a serial device.\n");
    expect_a_device_listing(f.listing);
}

TEST(OpenFailure, APortHeldByAnotherProgramIsSaidToBeBusy) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "POSIX device names and error texts";
    testbed::Pty line;
    const int holder = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const OpenFailure f = open_failure(line.slave_path());
    close(holder);
    EXPECT_EQ(f.diagnostic, "LastError(INVALID_HANDLE_VALUE)=16\n");
    EXPECT_EQ(f.reason.rfind("Port " + line.slave_path() + ": Device or resource busy. Another program holds the port", 0),
              0u)
        << f.reason;
}

TEST(OpenFailure, AnyDeviceThatDoesNotOpenIsExplained) {
    // The part every platform shares: a reason line naming the port, then a listing.
    const OpenFailure f = open_failure(testbed::port_for("/nonexistent/fwld-tty"));
    EXPECT_EQ(f.diagnostic.rfind("LastError(INVALID_HANDLE_VALUE)=", 0), 0u) << f.diagnostic;
    EXPECT_EQ(f.reason.rfind("Port ", 0), 0u) << f.reason;
    EXPECT_NE(f.reason.find(": "), std::string::npos) << f.reason;
    expect_a_device_listing(f.listing);
}

TEST(Information, HelpShowsBannerAndUsageAndVersionTheVersionLine) {
    for (const char* help : {"--help", "-h"}) {
        const testbed::ProcessResult r = run_fwld({help});
        EXPECT_EQ(r.exit_code, 0) << help;
        // The usage text as every start prints it, then what it leaves out.
        EXPECT_EQ(r.out.rfind(std::string(usage_text) + "\nOptions (p7..., case-sensitive):\n", 0), 0u) << r.out;
        for (const char* more :
             {"\n    TRpath ", "\n    LGpath ", "\n    COMn, comn ", "\n    128+n ", "\\\\.\\COM12", "\nfwld --list "}) {
            EXPECT_NE(r.out.find(more), std::string::npos) << more;
        }
        EXPECT_TRUE(ends_with(r.out, "\nSee man fwld.\n")) << r.out;
        EXPECT_EQ(r.err.rfind(banner_line, 0), 0u) << r.err;
        EXPECT_EQ(count_of(r.err, "\n"), 3u) << r.err;  // the banner and its notice, nothing else
    }
    const testbed::ProcessResult r = run_fwld({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, banner_line);
    EXPECT_EQ(r.err, "");
    // Anywhere else these are file names, as always.
    const testbed::ProcessResult other = run_fwld({"--help", "--version"});
    EXPECT_EQ(other.exit_code, 1);
    EXPECT_NE(other.err.find("\nLoader file can not open.\n\"--help\": "), std::string::npos) << other.err;
}

// A port the test makes is in the list: under Wine a COM number mapped after
// Wine's services started, natively a node published under /dev.
TEST(Information, ListShowsEachSerialPortOnceOnStandardOutput) {
    testbed::Pty line;
    std::unique_ptr<testbed::DevLink> node;
    std::string made;
    if (testbed::ports_are_com_numbers()) {
        made = "COM" + testbed::port_for(line.slave_path());
    } else {
        node = std::make_unique<testbed::DevLink>("ttyACM", line.slave_path());
        made = node->path();  // "" where /dev is not writable
    }
    const testbed::ProcessResult r = run_fwld({"--list"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    if (made.empty() && r.out == "No serial ports found.\n") return;
    std::set<std::string> names;
    std::istringstream lines(r.out);
    for (std::string text; std::getline(lines, text);) {
        const std::string name = text.substr(0, text.find("  "));
        EXPECT_EQ(name.rfind(testbed::ports_are_com_numbers() ? "COM" : "/dev/", 0), 0u) << text;
        EXPECT_TRUE(names.insert(name).second) << name << " twice in\n" << r.out;
    }
    EXPECT_TRUE(ends_with(r.out, "\n")) << r.out;
    if (!made.empty()) {
        EXPECT_EQ(names.count(made), 1u) << made << " not in\n" << r.out;
    }
}

}  // namespace
}  // namespace e2e
