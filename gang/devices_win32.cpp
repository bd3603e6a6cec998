// fwld-gang on Windows: a COM port is there when the system lists it, from
// the sources fwld --list reads: the ports drivers announce (SERIALCOMM),
// the device names (QueryDosDevice), and under Wine the prefix's comN
// links. Nothing is opened to look.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "devices.h"
#include "gang.h"

namespace {

constexpr int LISTED_MAX = 256;
constexpr int NAME_MAX_LENGTH = 32;

struct PortNames {
    char names[LISTED_MAX][NAME_MAX_LENGTH];
    int count;
};

PortNames listed;
char dos_names[64 * 1024];

bool is_com_name(const char* name) {
    long number = 0;
    return _strnicmp(name, "COM", 3) == 0 && numbered_port(name, &number) && number > 0;
}

void add_name(const char* name) {
    for (int i = 0; i < listed.count; ++i) {
        if (_stricmp(listed.names[i], name) == 0) return;
    }
    if (listed.count == LISTED_MAX || std::strlen(name) >= NAME_MAX_LENGTH) return;
    std::snprintf(listed.names[listed.count++], NAME_MAX_LENGTH, "%s", name);
}

void add_registered_ports() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        char driver[256];
        DWORD driver_size = sizeof driver;
        char name[NAME_MAX_LENGTH];
        DWORD name_size = sizeof name;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, driver, &driver_size, nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &name_size);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || name_size == 0) continue;
        name[name_size < sizeof name ? name_size : sizeof name - 1] = '\0';
        add_name(name);
    }
    RegCloseKey(key);
}

// Every COM name in the device namespace, in one call.
void add_named_ports() {
    const DWORD length = QueryDosDeviceA(nullptr, dos_names, sizeof dos_names);
    for (DWORD at = 0; at < length && dos_names[at] != '\0'; at += static_cast<DWORD>(std::strlen(dos_names + at)) + 1) {
        if (is_com_name(dos_names + at)) add_name(dos_names + at);
    }
}

// Wine keeps its COM ports as links comN in the prefix's dosdevices folder,
// and a link made after its services started is in no list of the
// system's. WINECONFIGDIR, which Wine sets, names the prefix as
// "\??\Z:\...". Wine lists no link whose device has gone.
void add_wine_port_links() {
    char folder[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("WINECONFIGDIR", folder, sizeof folder);
    if (length < 4 || length >= sizeof folder || std::strncmp(folder, "\\??\\", 4) != 0) return;
    folder[1] = '\\';
    char pattern[MAX_PATH + 32];
    std::snprintf(pattern, sizeof pattern, "%s\\dosdevices\\com*", folder);
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (is_com_name(found.cFileName)) {
            char name[NAME_MAX_LENGTH];
            long number = 0;
            numbered_port(found.cFileName, &number);
            std::snprintf(name, sizeof name, "COM%ld", number);
            add_name(name);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

void devices_refresh() {
    listed.count = 0;
    add_registered_ports();
    add_named_ports();
    add_wine_port_links();
}

namespace {

// COM3 for "3", "com3", "\\.\COM3"; other names as they are.
void port_name(const char* port, char* out, size_t size) {
    char name[GANG_TEXT_MAX];
    port_without_baud(port, name, sizeof name);
    const char* bare = std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
    long number = 0;
    if (numbered_port(bare, &number)) {
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
