// Port names and help for a port that does not open, on POSIX: a path names
// a device, a bare name one under /dev; for an open that failed, the reason
// in words, what to do about it, and the serial devices this machine has.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include "device_names_posix.h"
#include "text.h"

namespace {

constexpr size_t NAME_MAX_LENGTH = 256;
constexpr int LISTED_MAX = 64;
// Up from a device's sysfs folder to its USB device: port, interface, device.
constexpr int SYSFS_LEVELS = 8;

using Emit = void (*)(const char*, const char*, void*);

struct NameList {
    char names[LISTED_MAX][NAME_MAX_LENGTH];
    int count;
};

// A group of device nodes under /dev. Nodes that exist only while their
// hardware does (USB adapters, on-chip UARTs the board declares, Bluetooth
// links, this machine as a USB gadget) are listed unopened: opening one
// raises DTR, which resets some boards. Fixed UART nodes exist whether or
// not the hardware does; only those that answer a settings query are real.
struct DeviceGroup {
    const char* prefix;
    bool needs_query;
};

constexpr DeviceGroup device_groups[] = {
    {"ttyUSB", false}, {"ttyACM", false}, {"ttyXRUSB", false}, {"ttyAMA", false},
    {"ttymxc", false}, {"ttySAC", false}, {"ttyTHS", false},   {"ttyGS", false},
    {"rfcomm", false}, {"ttyS", true},
};

// A /dev/serial/by-id link and the node it names.
struct StableName {
    char link[NAME_MAX_LENGTH];
    char node[NAME_MAX_LENGTH];
    bool listed;
};

struct StableNames {
    StableName names[LISTED_MAX];
    int count;
};

// What is known of one device: items joined by ", ", cut short when full.
struct Detail {
    char text[1024];
    size_t length;
};

// ttyS2 before ttyS10: same prefix, then by number.
int compare_device_names(const void* left, const void* right) {
    const char* a = static_cast<const char*>(left);
    const char* b = static_cast<const char*>(right);
    size_t digits_a = std::strcspn(a, "0123456789");
    size_t digits_b = std::strcspn(b, "0123456789");
    if (digits_a == digits_b && std::strncmp(a, b, digits_a) == 0 && all_digits(a + digits_a) &&
        all_digits(b + digits_b)) {
        size_t length_a = std::strlen(a + digits_a);
        size_t length_b = std::strlen(b + digits_b);
        if (length_a != length_b) return length_a < length_b ? -1 : 1;
    }
    return std::strcmp(a, b);
}

void add_name(NameList* list, const char* name) {
    if (list->count >= LISTED_MAX || std::strlen(name) >= NAME_MAX_LENGTH) return;
    std::snprintf(list->names[list->count], NAME_MAX_LENGTH, "%s", name);
    ++list->count;
}

void read_directory(const char* path, bool (*wanted)(const char* name, const void* context), const void* context,
                    NameList* list) {
    list->count = 0;
    DIR* dir = opendir(path);
    if (dir == nullptr) return;
    while (const struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && wanted(entry->d_name, context)) add_name(list, entry->d_name);
    }
    closedir(dir);
    std::qsort(list->names, static_cast<size_t>(list->count), NAME_MAX_LENGTH, compare_device_names);
}

bool any_entry(const char*, const void*) { return true; }

bool in_group(const char* name, const void* context) {
    const char* prefix = static_cast<const char*>(context);
    size_t length = std::strlen(prefix);
    return std::strncmp(name, prefix, length) == 0 && all_digits(name + length);
}

enum QueryAnswer { ANSWERS, IN_USE, ABSENT };

QueryAnswer query_settings(const char* path) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? IN_USE : ABSENT;
    struct termios tio;
    const bool answers = tcgetattr(fd, &tio) == 0;
    close(fd);
    return answers ? ANSWERS : ABSENT;
}

bool is_character_device(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISCHR(info.st_mode);
}

// A name cut short would name something else.
bool copy_whole(char* out, size_t size, const char* text) {
    const size_t length = std::strlen(text);
    if (length >= size) return false;
    std::memcpy(out, text, length + 1);
    return true;
}

const char* last_component(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

void add_item(Detail* detail, const char* label, const char* value) {
    if (detail->length >= sizeof detail->text - 1) return;
    const int written = std::snprintf(detail->text + detail->length, sizeof detail->text - detail->length, "%s%s%s%s",
                                      detail->length > 0 ? ", " : "", label, label[0] != '\0' ? " " : "", value);
    if (written > 0) detail->length += static_cast<size_t>(written);
    if (detail->length >= sizeof detail->text) detail->length = sizeof detail->text - 1;
}

// The first line of a small sysfs file, without its line end and with
// control characters made visible, so a line of the list stays one line.
bool read_line(const char* path, char* out, size_t size) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t count = read(fd, out, size - 1);
    close(fd);
    if (count <= 0) return false;
    out[count] = '\0';
    const size_t length = std::strcspn(out, "\n");
    out[length] = '\0';
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f) out[i] = '?';
    }
    return length > 0;
}

// The udev links under <dev>/serial/by-id, each with the node it names
// (udev points them at ../../<node>). Links left behind by an unplugged
// device name no node and are dropped.
void read_stable_names(const char* dev_root, StableNames* stable) {
    static NameList links;
    char folder[PATH_MAX];
    std::snprintf(folder, sizeof folder, "%s/serial/by-id", dev_root);
    read_directory(folder, any_entry, nullptr, &links);
    stable->count = 0;
    for (int i = 0; i < links.count; ++i) {
        char path[PATH_MAX + NAME_MAX_LENGTH];
        char target[PATH_MAX];
        char node[PATH_MAX + NAME_MAX_LENGTH];
        std::snprintf(path, sizeof path, "%s/%s", folder, links.names[i]);
        const ssize_t length = readlink(path, target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        std::snprintf(node, sizeof node, "%s/%s", dev_root, last_component(target));
        StableName& name = stable->names[stable->count];
        if (!is_character_device(node) || !copy_whole(name.link, sizeof name.link, path) ||
            !copy_whole(name.node, sizeof name.node, last_component(target))) {
            continue;
        }
        name.listed = false;
        ++stable->count;
    }
}

void add_stable_names(StableNames* stable, const char* node, Detail* detail) {
    for (int i = 0; i < stable->count; ++i) {
        if (std::strcmp(stable->names[i].node, node) != 0) continue;
        add_item(detail, "", stable->names[i].link);
        stable->names[i].listed = true;
    }
}

// A link whose target lies on the serial core's own bus (kernels from 6.5
// put a port device between the tty and its hardware) names no driver
// anyone chose: the one above it does.
bool names_a_driver(const char* folder, char* driver, size_t size) {
    char link[PATH_MAX + 8];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "%s/driver", folder);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    if (std::strstr(target, "/bus/serial-base/") != nullptr) return false;
    return copy_whole(driver, size, last_component(target));
}

void add_usb_identity(const char* folder, Detail* detail) {
    char path[PATH_MAX + 16];
    char vendor[16], product[16], serial[128];
    std::snprintf(path, sizeof path, "%s/idProduct", folder);
    if (!read_line(path, product, sizeof product)) return;
    std::snprintf(path, sizeof path, "%s/idVendor", folder);
    if (!read_line(path, vendor, sizeof vendor)) return;
    char identity[40];
    std::snprintf(identity, sizeof identity, "%s:%s", vendor, product);
    add_item(detail, "USB", identity);
    std::snprintf(path, sizeof path, "%s/serial", folder);
    if (read_line(path, serial, sizeof serial)) add_item(detail, "serial", serial);
}

bool is_usb_device(const char* folder) {
    char path[PATH_MAX + 16];
    std::snprintf(path, sizeof path, "%s/idVendor", folder);
    return access(path, R_OK) == 0;
}

bool lies_under(const char* path, const char* root) {
    const size_t length = std::strlen(root);
    return std::strncmp(path, root, length) == 0 && path[length] == '/';
}

void go_up(char* path) {
    char* slash = std::strrchr(path, '/');
    if (slash != nullptr) *slash = '\0';
}

// What sysfs tells of a tty: the driver, and for a USB device its vendor and
// product IDs and serial number, from the folders above the tty's device
// (never above <sys>).
void add_sysfs_items(const char* sys_root, const char* node, Detail* detail) {
    char link[PATH_MAX];
    char root[PATH_MAX];
    char folder[PATH_MAX];
    std::snprintf(link, sizeof link, "%s/class/tty/%s/device", sys_root, node);
    if (realpath(link, folder) == nullptr || realpath(sys_root, root) == nullptr) return;
    char driver[NAME_MAX_LENGTH] = "";
    bool usb = false;
    for (int level = 0; level < SYSFS_LEVELS && !usb && lies_under(folder, root); ++level) {
        if (driver[0] == '\0') names_a_driver(folder, driver, sizeof driver);
        usb = is_usb_device(folder);
        if (!usb) go_up(folder);
    }
    if (driver[0] != '\0') add_item(detail, "driver", driver);
    if (usb) add_usb_identity(folder, detail);
}

void emit_node(const char* dev_root, const char* sys_root, const char* node, StableNames* stable, const char* state,
               Emit emit, void* context) {
    char path[PATH_MAX + NAME_MAX_LENGTH];
    std::snprintf(path, sizeof path, "%s/%s", dev_root, node);
    Detail detail{};
    add_stable_names(stable, node, &detail);
    add_sysfs_items(sys_root, node, &detail);
    if (state[0] != '\0') add_item(&detail, "", state);
    emit(path, detail.text, context);
}

void list_group(const char* dev_root, const char* sys_root, const DeviceGroup& group, StableNames* stable, Emit emit,
                void* context) {
    static NameList nodes;
    read_directory(dev_root, in_group, group.prefix, &nodes);
    for (int i = 0; i < nodes.count; ++i) {
        char path[PATH_MAX + NAME_MAX_LENGTH];
        std::snprintf(path, sizeof path, "%s/%s", dev_root, nodes.names[i]);
        if (!is_character_device(path)) continue;
        const QueryAnswer answer = group.needs_query ? query_settings(path) : ANSWERS;
        if (answer == ABSENT) continue;
        emit_node(dev_root, sys_root, nodes.names[i], stable, answer == IN_USE ? "in use" : "", emit, context);
    }
}

// udev names every USB serial device under by-id, whatever the node is
// called: those no group took are listed by their node too.
void list_other_stable_nodes(const char* dev_root, const char* sys_root, StableNames* stable, Emit emit,
                             void* context) {
    for (int i = 0; i < stable->count; ++i) {
        if (!stable->names[i].listed) emit_node(dev_root, sys_root, stable->names[i].node, stable, "", emit, context);
    }
}

// Names serial devices go by under /dev: ttyUSB0, ttyACM0, ttyS0, and
// cu.usbserial-1410 on macOS and the BSDs, rfcomm0 for Bluetooth.
bool looks_like_serial_name(const char* name) {
    static const char* const prefixes[] = {"tty", "cu.", "rfcomm"};
    for (const char* prefix : prefixes) {
        const size_t length = std::strlen(prefix);
        if (std::strncmp(name, prefix, length) == 0 && name[length] != '\0') return true;
    }
    return false;
}

}  // namespace

const char* device_error_hint(long error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return "Your user may not use serial ports: add it to the group dialout on Debian and Ubuntu "
               "(uucp on most other systems) with \"sudo usermod -aG dialout $USER\", then log in again.";
    case EBUSY:
        return "Another program holds the port (a terminal program, another fwld, a modem manager): "
               "end it and try again.";
    case ENOTTY:
    case EISDIR:
        return "The path is not a serial device.";
    case ENOENT:
        return "No device has that name. A USB adapter plugged in again may have a new one; "
               "its /dev/serial/by-id/ name stays the same.";
    case ENXIO:
    case ENODEV:
    case EIO:
        return "No serial hardware answers at that device.";
    default:
        return nullptr;
    }
}

void device_list_ports_under(const char* dev_root, const char* sys_root, Emit emit, void* context) {
    static StableNames stable;
    read_stable_names(dev_root, &stable);
    for (const DeviceGroup& group : device_groups) list_group(dev_root, sys_root, group, &stable, emit, context);
    list_other_stable_nodes(dev_root, sys_root, &stable, emit, context);
}

void device_list_ports(Emit emit, void* context) { device_list_ports_under("/dev", "/sys", emit, context); }

namespace {

struct NameEmit {
    void (*emit)(const char* name, void* context);
    void* context;
};

void name_alone(const char* name, const char*, void* context) {
    const NameEmit* to = static_cast<const NameEmit*>(context);
    to->emit(name, to->context);
}

}  // namespace

void device_list_names(void (*emit)(const char* name, void* context), void* context) {
    NameEmit to{emit, context};
    device_list_ports(name_alone, &to);
}

bool device_names_path(const char* text) { return text != nullptr && std::strchr(text, '/') != nullptr; }

bool device_find_by_name(const char* name, char* out, size_t size) {
    if (name == nullptr || name[0] == '\0' || out == nullptr || size == 0) {
        return false;
    }
    // "." and ".." would name /dev itself and /.
    if (std::strchr(name, '/') != nullptr || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return false;
    }
    int length = std::snprintf(out, size, "/dev/%s", name);
    struct stat info;
    // An adapter that is not plugged in is still a device name: its absence
    // is explained like that of its path, with the devices there are.
    if (length < 0 || static_cast<size_t>(length) >= size || (stat(out, &info) != 0 && !looks_like_serial_name(name))) {
        out[0] = '\0';
        return false;
    }
    return true;
}
