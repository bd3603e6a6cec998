// Port names the platform resolves, and the help printed when a port does
// not open: the reason, the hint and the list of serial devices.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "device.h"
#include "port.h"
#include "port_advice.h"
#include "device_names_posix.h"
#include "testbed.h"
#include "system.h"

namespace {

TEST(PortNames, OnlyTextWithASlashNamesADevicePath) {
    EXPECT_TRUE(device_names_path("/dev/ttyUSB0"));
    EXPECT_TRUE(device_names_path("./ttyTARGET"));
    EXPECT_FALSE(device_names_path("ttyUSB0"));
    EXPECT_FALSE(device_names_path("COM3"));
    EXPECT_FALSE(device_names_path(""));
}

TEST(PortNames, BareNamesAreLookedUpUnderDev) {
    char out[64] = "x";
    EXPECT_TRUE(device_find_by_name("null", out, sizeof out));
    EXPECT_STREQ(out, "/dev/null");
    for (const char* name : {"fwld-no-such-device", ".", "..", "", "pts/0", "tty/x", "rfcomm"}) {
        EXPECT_FALSE(device_find_by_name(name, out, sizeof out)) << name;
    }
    // Absent, but a serial device's name: it stands for its path.
    for (const char* name : {"ttyUSB-fwld-absent", "cu.fwld-absent", "rfcomm-fwld-absent"}) {
        EXPECT_TRUE(device_find_by_name(name, out, sizeof out)) << name;
        EXPECT_EQ(std::string(out), std::string("/dev/") + name);
    }
    EXPECT_FALSE(device_find_by_name("null", out, 9));  // "/dev/null" does not fit
}

TEST(PortErrors, ReasonsInWordsAndHintsWhereOneIsKnown) {
    char text[128];
    system_error_text(ENOENT, text, sizeof text);
    EXPECT_STREQ(text, "No such file or directory");
    system_error_text(0, text, sizeof text);
    EXPECT_STREQ(text, "unknown error 0");
    system_error_text(EACCES, text, 8);
    EXPECT_EQ(std::string(text).size(), 7u);

    const std::string permission = device_error_hint(EACCES);
    EXPECT_NE(permission.find("dialout"), std::string::npos);
    EXPECT_NE(permission.find("uucp"), std::string::npos);
    EXPECT_EQ(device_error_hint(EPERM), device_error_hint(EACCES));
    EXPECT_NE(std::string(device_error_hint(EBUSY)).find("Another program holds the port"), std::string::npos);
    EXPECT_STREQ(device_error_hint(ENOTTY), "The path is not a serial device.");
    EXPECT_EQ(device_error_hint(EINVAL), nullptr);
    EXPECT_EQ(device_error_hint(0), nullptr);
}

using testbed::DevLink;

using Listed = std::vector<std::pair<std::string, std::string>>;

void collect(const char* name, const char* detail, void* context) {
    static_cast<Listed*>(context)->emplace_back(name, detail);
}

Listed list_ports() {
    Listed listed;
    device_list_ports(collect, &listed);
    return listed;
}

bool listed(const Listed& ports, const std::string& name) {
    for (const auto& port : ports) {
        if (port.first == name) return true;
    }
    return false;
}

TEST(PortList, ListsSerialDevicesThatAnswerAndNothingElse) {
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string plain_file = testbed::write_file(dir.file("not-a-tty"), "x");
    DevLink adapter("ttyUSB", line.slave_path());
    if (adapter.path().empty()) GTEST_SKIP() << "/dev is not writable here";
    DevLink no_node("ttyUSB", plain_file);
    DevLink uart("ttyS", line.slave_path());
    DevLink no_uart("ttyS", "/dev/null");  // a device, but no terminal: no settings to query
    const Listed ports = list_ports();
    EXPECT_TRUE(listed(ports, adapter.path()));
    EXPECT_FALSE(listed(ports, no_node.path()));
    EXPECT_TRUE(listed(ports, uart.path()));
    EXPECT_FALSE(listed(ports, no_uart.path()));
    for (const auto& port : ports) {
        EXPECT_NE(port.first.rfind("/dev/serial/by-id/", 0), 0u) << "a stable name stands beside its device";
    }
}

// A /dev and a /sys as udev and the kernel lay them out, in a temp dir:
// nodes are links to a pty (or to what is no serial device), by-id links
// name nodes as ../../node, sysfs links lead to the device folders (a
// driver link's target need not exist).
TEST(PortList, EachDeviceOnceWithItsStableNamesDriverAndUsbIdentity) {
    namespace fs = std::filesystem;
    testbed::Pty line;
    testbed::TempDir dir;
    const std::string pty = line.slave_path(), plain_file = testbed::write_file(dir.file("not-a-tty"), "x");
    const struct {
        const char* path;
        std::string link;
        const char* text = nullptr;
    } tree[] = {
        {"dev/ttyUSB0", pty},
        {"dev/ttyUSB1", plain_file},
        {"dev/ttyACM3", pty},
        {"dev/ttyS1", pty},
        {"dev/ttyS2", "/dev/null"},
        {"dev/ttyQX7", pty},
        {"dev/ttyACM3-copy", pty},  // no node's name
        {"dev/serial/by-id/usb-Maker_Adapter_A1-if00-port0", "../../ttyUSB0"},
        {"dev/serial/by-id/usb-Maker_Bridge_Q9-if00", "../../ttyQX7"},
        {"dev/serial/by-id/usb-Maker_Unplugged-if00-port0", "../../ttyUSB9"},
        {"sys/class/tty/ttyUSB0/device", "../../../devices/usb1/1-1/1-1:1.0/ttyUSB0"},
        {"sys/devices/usb1/1-1/1-1:1.0/ttyUSB0/driver", "../../../../../bus/usb-serial/drivers/maker_uart"},
        {"sys/devices/usb1/1-1/idVendor", "", "1209\n"},
        {"sys/devices/usb1/1-1/idProduct", "", "6001\n"},
        {"sys/devices/usb1/1-1/serial", "", "A1\n"},
        {"sys/devices/usb1/1-1/driver", "../../../bus/usb/drivers/usb"},
        {"sys/class/tty/ttyACM3/device", "../../../devices/usb1/1-2/1-2:1.0"},
        {"sys/devices/usb1/1-2/1-2:1.0/driver", "../../../../bus/usb/drivers/cdc_acm"},
        {"sys/devices/usb1/1-2/idVendor", "", "2e8a\n"},
        {"sys/devices/usb1/1-2/idProduct", "", "000a\n"},
        {"sys/class/tty/ttyS1/device", "../../../devices/pnp0/00:05/00:05:0/00:05:0.0"},
        {"sys/devices/pnp0/00:05/00:05:0/00:05:0.0/driver", "../../../../../bus/serial-base/drivers/port"},
        {"sys/devices/pnp0/00:05/driver", "../../../bus/pnp/drivers/serial"},
        {"sys/idVendor", "", "dead\n"},  // above every device
        {"sys/idProduct", "", "beef\n"},
    };
    for (const auto& entry : tree) {
        const fs::path path = dir.file(entry.path);
        fs::create_directories(path.parent_path());
        if (entry.text != nullptr) {
            testbed::write_file(path, entry.text);
        } else {
            fs::create_symlink(entry.link, path);
        }
    }
    Listed ports;
    device_list_ports_under(dir.file("dev").c_str(), dir.file("sys").c_str(), collect, &ports);
    const std::string dev = dir.file("dev/"), by_id = dev + "serial/by-id/";
    const Listed expected = {
        {dev + "ttyUSB0", by_id + "usb-Maker_Adapter_A1-if00-port0, driver maker_uart, USB 1209:6001, serial A1"},
        {dev + "ttyACM3", "driver cdc_acm, USB 2e8a:000a"},
        {dev + "ttyS1", "driver serial"},
        {dev + "ttyQX7", by_id + "usb-Maker_Bridge_Q9-if00"},
    };
    EXPECT_EQ(ports, expected);
}

// A port another program holds (TIOCEXCL, as fwld holds its own) is listed
// as in use, not left out. TIOCEXCL does not hold root back: the listing
// runs as nobody then.
TEST(PortList, APortAnotherProgramHoldsIsListedAsInUse) {
    testbed::Pty line;
    const int held = open(line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
    chmod(line.slave_path().c_str(), 0666);
    testbed::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::filesystem::create_directories(dir.file("dev"));
    chmod(dir.file("dev").c_str(), 0755);
    std::filesystem::create_symlink(line.slave_path(), dir.file("dev/ttyS4"));
    int result[2];
    ASSERT_EQ(pipe(result), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        Listed ports;
        device_list_ports_under(dir.file("dev").c_str(), dir.file("sys").c_str(), collect, &ports);
        const std::string text = ports.size() == 1 ? ports[0].first + "|" + ports[0].second : "";
        (void)!write(result[1], text.data(), text.size());
        _exit(0);
    }
    close(result[1]);
    char text[512] = "";
    const ssize_t got = read(result[0], text, sizeof text - 1);
    close(result[0]);
    int status = 0;
    waitpid(child, &status, 0);
    close(held);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(std::string(text, got > 0 ? static_cast<size_t>(got) : 0u), dir.file("dev/ttyS4") + "|in use");
}

TEST(PortList, NumberedNodesComeInNumberOrder) {
    testbed::Pty line;
    const DevLink nine("ttyACM", line.slave_path(), 9, 9);
    const DevLink ten("ttyACM", line.slave_path(), 10, 10);
    if (nine.path().empty() || ten.path().empty()) GTEST_SKIP() << "/dev is not writable or ttyACM9/10 exist";
    const Listed ports = list_ports();
    size_t at_nine = ports.size(), at_ten = ports.size();
    for (size_t i = 0; i < ports.size(); ++i) {
        if (ports[i].first == nine.path()) at_nine = i;
        if (ports[i].first == ten.path()) at_ten = i;
    }
    ASSERT_LT(at_ten, ports.size());
    EXPECT_LT(at_nine, at_ten);
}

std::string explanation(int port, long error) {
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    explain_port_failure(out, port, error);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

TEST(PortAdvice, NamesTheDeviceTheReasonAndTheHintThenListsTheDevices) {
    ASSERT_TRUE(port_assign_path(11, "/dev/fwld-absent"));
    const std::string text = explanation(11, EACCES);
    const std::string first = text.substr(0, text.find('\n'));
    EXPECT_EQ(first.rfind("Port /dev/fwld-absent: Permission denied. ", 0), 0u) << first;
    EXPECT_NE(first.find("dialout"), std::string::npos);
    const std::string rest = text.substr(first.size() + 1);
    const bool none = rest == "No serial devices found on this machine.\n";
    EXPECT_TRUE(none || rest.rfind("Serial devices on this machine:\n  /dev/", 0) == 0) << rest;
    EXPECT_EQ(rest.back(), '\n');

    EXPECT_EQ(explanation(11, EINVAL).substr(0, text.find('\n') + 1).find("Invalid argument.\n"),
              std::string("Port /dev/fwld-absent: ").size());
    EXPECT_EQ(explanation(0, ENOENT).rfind("Port 0 names no device.\n", 0), 0u);
}

}  // namespace
