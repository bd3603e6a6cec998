// Port names as fwld is given them. The native build opens the device path
// itself; the Windows build under Wine opens COM numbers, each of which is
// a link comN in the Wine prefix's dosdevices folder to the test's device.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "testbed.h"

namespace testbed {

namespace {

// COM1 belongs to the machine's first serial port in a fresh prefix; the
// numbers from here on are the tests' own, and 3 to 9 for the tests that
// need a low one.
constexpr int FIRST_TEST_COM = 10;
constexpr int LAST_TEST_COM = 31;
constexpr int FIRST_LOW_COM = 3;
constexpr int LAST_LOW_COM = 9;

struct ComPorts {
    std::mutex mu;
    std::map<std::string, int> by_device;
    int lock_fds[LAST_TEST_COM + 1] = {};
};

ComPorts& com_ports() {
    static ComPorts ports;
    return ports;
}

const char* com_link_folder() {
    const char* folder = std::getenv("FWLD_TEST_COM_LINKS");
    return folder != nullptr && *folder != '\0' ? folder : nullptr;
}

// A number no other test process holds: the lock lives as long as this
// process, so tests that run side by side never share a COM number.
int claim_com_number(ComPorts& ports, const std::string& folder, int first, int last) {
    for (int n = first; n <= last; ++n) {
        if (ports.lock_fds[n] > 0) continue;
        const std::string lock = folder + "/.fwld-test-com" + std::to_string(n) + ".lock";
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error(lock + ": " + std::strerror(errno));
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            ports.lock_fds[n] = fd;
            return n;
        }
        close(fd);
    }
    throw std::runtime_error("no free COM number for the test");
}

// Replaces the link in one step, so fwld never finds the name missing.
void point_link(const std::string& link, const std::string& target) {
    const std::string temporary = link + ".new";
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), link.c_str()) != 0) {
        throw std::runtime_error(link + ": " + std::strerror(errno));
    }
}

std::string com_port_for(const std::string& device_path, int first, int last) {
    if (!ports_are_com_numbers()) return device_path;
    ComPorts& ports = com_ports();
    std::lock_guard<std::mutex> lock(ports.mu);
    const auto known = ports.by_device.find(device_path);
    if (known != ports.by_device.end()) return std::to_string(known->second);
    const std::string folder = com_link_folder();
    const int n = claim_com_number(ports, folder, first, last);
    point_link(folder + "/com" + std::to_string(n), device_path);
    ports.by_device[device_path] = n;
    return std::to_string(n);
}

}  // namespace

bool ports_are_com_numbers() { return com_link_folder() != nullptr; }

std::string port_for(const std::string& device_path) {
    return com_port_for(device_path, FIRST_TEST_COM, LAST_TEST_COM);
}

std::string low_port_for(const std::string& device_path) {
    return com_port_for(device_path, FIRST_LOW_COM, LAST_LOW_COM);
}

}  // namespace testbed
