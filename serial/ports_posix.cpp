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

namespace {

constexpr size_t NAME_MAX_LENGTH = 256;
constexpr int LISTED_MAX = 64;
const char by_id_dir[] = "/dev/serial/by-id";

struct NameList {
    char names[LISTED_MAX][NAME_MAX_LENGTH];
    int count;
};

// A group of device nodes under /dev. USB adapters exist as nodes only while
// plugged in, so they are listed unopened: opening one raises DTR, which
// resets some boards. Fixed UART nodes exist whether or not the hardware
// does; only those that answer a settings query are real.
struct DeviceGroup {
    const char* prefix;
    bool needs_query;
};

constexpr DeviceGroup device_groups[] = {
    {"ttyUSB", false},
    {"ttyACM", false},
    {"ttyS", true},
};

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

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

void list_stable_names(void (*emit)(const char*, const char*, void*), void* context) {
    static NameList links;
    read_directory(by_id_dir, any_entry, nullptr, &links);
    for (int i = 0; i < links.count; ++i) {
        char path[NAME_MAX_LENGTH + sizeof by_id_dir];
        char target[PATH_MAX];
        std::snprintf(path, sizeof path, "%s/%s", by_id_dir, links.names[i]);
        if (realpath(path, target) == nullptr) continue;  // a link left behind by an unplugged device
        char detail[PATH_MAX + 8];
        std::snprintf(detail, sizeof detail, "-> %s", target);
        emit(path, detail, context);
    }
}

void list_group(const DeviceGroup& group, void (*emit)(const char*, const char*, void*), void* context) {
    static NameList nodes;
    read_directory("/dev", in_group, group.prefix, &nodes);
    for (int i = 0; i < nodes.count; ++i) {
        char path[NAME_MAX_LENGTH + 8];
        std::snprintf(path, sizeof path, "/dev/%s", nodes.names[i]);
        if (!is_character_device(path)) continue;
        const QueryAnswer answer = group.needs_query ? query_settings(path) : ANSWERS;
        if (answer == ANSWERS) emit(path, "", context);
        if (answer == IN_USE) emit(path, "in use", context);
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

void device_error_text(long error, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    if (error <= 0 || error > INT_MAX) {
        std::snprintf(out, size, "unknown error %ld", error);
        return;
    }
    std::snprintf(out, size, "%s", std::strerror(static_cast<int>(error)));
}

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

void device_list_ports(void (*emit)(const char* name, const char* detail, void* context), void* context) {
    list_stable_names(emit, context);
    for (const DeviceGroup& group : device_groups) list_group(group, emit, context);
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
