// fwld-gang on Windows: a COM port is there when the system lists it, as
// fwld --list finds it (serial/device_names.h: the ports drivers announce,
// the device names, and under Wine the prefix's comN links). Nothing is
// opened to look.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "device_names.h"
#include "devices.h"
#include "args.h"

namespace {

constexpr int LISTED_MAX = 256;
constexpr int NAME_MAX_LENGTH = 32;

struct PortNames {
    char names[LISTED_MAX][NAME_MAX_LENGTH];
    int count;
};

PortNames listed;

bool is_com_name(const char* name) {
    long number = 0;
    return device_names_com(name) && device_port_number(name, &number) && number > 0;
}

void add_name(const char* name) {
    for (int i = 0; i < listed.count; ++i) {
        if (_stricmp(listed.names[i], name) == 0) return;
    }
    if (listed.count == LISTED_MAX || std::strlen(name) >= NAME_MAX_LENGTH) return;
    std::snprintf(listed.names[listed.count++], NAME_MAX_LENGTH, "%s", name);
}

// One of the names the serial link lists; COM names only.
void add_listed(const char* name, void*) {
    if (is_com_name(name)) add_name(name);
}

}  // namespace

void devices_refresh() {
    listed.count = 0;
    device_list_names(add_listed, nullptr);
}

namespace {

// COM3 for "3", "com3", "\\.\COM3"; other names as they are.
void port_name(const char* port, char* out, size_t size) {
    char name[GANG_TEXT_MAX];
    port_without_baud(port, name, sizeof name);
    const char* bare = std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    long number = 0;
    if (device_port_number(bare, &number)) {
        std::snprintf(out, size, "COM%ld", number);
    } else {
        std::snprintf(out, size, "%s", bare);
    }
}

}  // namespace

bool device_present(const char* port, uint64_t* identity) {
    *identity = 0;
    char name[GANG_TEXT_MAX];
    port_name(port, name, sizeof name);
    for (int i = 0; i < listed.count; ++i) {
        if (_stricmp(listed.names[i], name) == 0) return true;
    }
    // A device of another name (a virtual port's CNCA0) is asked for alone.
    char target[256];
    return !is_com_name(name) && QueryDosDeviceA(name, target, sizeof target) != 0;
}

void devices_matching(const char* pattern, void (*found)(const char* name, uint64_t identity, void* context),
                      void* context) {
    for (int i = 0; i < listed.count; ++i) {
        // COM* or COM3,COM5 or COM1?,COM2?
        for (const char* piece = pattern; piece != nullptr;) {
            const char* comma = std::strchr(piece, ',');
            char one[GANG_TEXT_MAX];
            std::snprintf(one, sizeof one, "%.*s",
                          static_cast<int>(comma != nullptr ? comma - piece : static_cast<long>(std::strlen(piece))),
                          piece);
            if (name_matches(one, listed.names[i], true)) {
                found(listed.names[i], 0, context);
                break;
            }
            piece = comma != nullptr ? comma + 1 : nullptr;
        }
    }
}

intptr_t device_notices(const char* const*, int) { return -1; }
