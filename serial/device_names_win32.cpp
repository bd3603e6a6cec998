// Win32 port names and explanations: the \\.\ device form, the system's
// reason in words for an open that failed, and the COM ports there are.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device.h"
#include <windows.h>

#include <setupapi.h>

namespace {

constexpr char DEVICE_NAMESPACE[] = "\\\\.\\";
// COM1 to COM256, the numbers Windows gives ports.
constexpr int LAST_COM_NUMBER = 256;
// Every COM number Windows gives, and a few names of other kinds.
constexpr int LISTED_MAX = LAST_COM_NUMBER + 16;

// One port and what the system says of it.
struct PortEntry {
    char name[32];       // COM3, or another name a driver registered
    char friendly[160];  // as the Device Manager shows it: "USB Serial Port (COM3)"
    char driver[96];     // the driver's device: \Device\Serial0
};

struct PortTable {
    PortEntry entries[LISTED_MAX];
    int count;
};

// "COM12" in any case: 12. 0 for any other text.
int com_number(const char* name) {
    long number = 0;
    if (!device_names_com(name) || !device_port_number(name, &number) || number > LAST_COM_NUMBER) return 0;
    return static_cast<int>(number);
}

void copy_text(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

// The port's entry, made when it is new. nullptr when the table is full or
// the name does not fit.
PortEntry* port_entry(PortTable* table, const char* name) {
    for (int i = 0; i < table->count; ++i) {
        if (_stricmp(table->entries[i].name, name) == 0) return &table->entries[i];
    }
    if (table->count == LISTED_MAX || std::strlen(name) >= sizeof table->entries[0].name) return nullptr;
    PortEntry* entry = &table->entries[table->count++];
    copy_text(entry->name, sizeof entry->name, name);
    entry->friendly[0] = '\0';
    entry->driver[0] = '\0';
    return entry;
}

void note_driver(PortTable* table, const char* name, const char* driver) {
    PortEntry* entry = port_entry(table, name);
    if (entry != nullptr && entry->driver[0] == '\0') copy_text(entry->driver, sizeof entry->driver, driver);
}

// The ports drivers announce, each with the driver's device.
void add_registered_ports(PortTable* table) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        char driver[256];
        DWORD driver_size = sizeof driver;
        char name[64];
        DWORD name_size = sizeof name;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, driver, &driver_size, nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &name_size);
        if (result != ERROR_SUCCESS && result != ERROR_MORE_DATA) break;
        if (result != ERROR_SUCCESS || type != REG_SZ || name_size == 0) continue;
        name[name_size < sizeof name ? name_size : sizeof name - 1] = '\0';
        note_driver(table, name, driver);
    }
    RegCloseKey(key);
}

// COM names in the device namespace, registered or not (a driver that
// writes no registry entry, a name mapped with DefineDosDevice). Asked by
// name: nothing is opened.
void add_named_ports(PortTable* table) {
    for (int number = 1; number <= LAST_COM_NUMBER; ++number) {
        char name[16];
        char target[256];
        std::snprintf(name, sizeof name, "COM%d", number);
        if (QueryDosDeviceA(name, target, sizeof target) != 0) {
            note_driver(table, name, target);
        } else if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
            note_driver(table, name, "");
        }
    }
}

// Wine keeps its COM ports as links comN in the prefix's dosdevices folder,
// and a link made after its services started opens but is in no list of the
// system's: read the folder. WINECONFIGDIR, which Wine sets, names the
// prefix as "\??\Z:\...".
void add_wine_port_links(PortTable* table) {
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
        const int number = com_number(found.cFileName);
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", number);
        if (number > 0) port_entry(table, name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

// The Device Manager's name of each port: devices of the ports class,
// matched by the PortName their driver keeps.
void add_friendly_names(PortTable* table) {
    static const GUID ports_class = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO devices = SetupDiGetClassDevsA(&ports_class, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const HKEY key = SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        char name[64] = "";
        DWORD name_size = sizeof name - 1;
        DWORD type = 0;
        const LONG result = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &name_size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        for (int i = 0; i < table->count; ++i) {
            PortEntry& entry = table->entries[i];
            if (_stricmp(entry.name, name) != 0) continue;
            if (!SetupDiGetDeviceRegistryPropertyA(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(entry.friendly), sizeof entry.friendly - 1,
                                                   nullptr)) {
                entry.friendly[0] = '\0';
            }
            entry.friendly[sizeof entry.friendly - 1] = '\0';
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
}

// COM2 before COM10, then other names.
int compare_ports(const void* left, const void* right) {
    const PortEntry* a = static_cast<const PortEntry*>(left);
    const PortEntry* b = static_cast<const PortEntry*>(right);
    const int number_a = com_number(a->name);
    const int number_b = com_number(b->name);
    if (number_a != number_b && (number_a == 0 || number_b == 0)) return number_a == 0 ? 1 : -1;
    if (number_a != number_b) return number_a < number_b ? -1 : 1;
    return _stricmp(a->name, b->name);
}

void emit_port(const PortEntry& entry, void (*emit)(const char*, const char*, void*), void* context) {
    char detail[sizeof entry.friendly + sizeof entry.driver + 16];
    std::snprintf(detail, sizeof detail, "%s%s%s%s", entry.friendly,
                  entry.friendly[0] != '\0' && entry.driver[0] != '\0' ? ", " : "",
                  entry.driver[0] != '\0' ? "driver " : "", entry.driver);
    emit(entry.name, detail, context);
}

}  // namespace

bool device_names_path(const char* text) {
    return std::strncmp(text, DEVICE_NAMESPACE, sizeof DEVICE_NAMESPACE - 1) == 0;
}

bool device_find_by_name(const char*, char* out, size_t size) {
    // Windows names its ports by number (COMn) or in the device namespace.
    if (size > 0) out[0] = '\0';
    return false;
}

const char* device_error_hint(long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "No port has that number. A USB adapter gets a COM number of its own: look it up in the Device "
               "Manager under Ports (COM & LPT).";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "Another program holds the port (a terminal program, another fwld): close it and try again.";
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
        return "The adapter does not answer: plug it in again.";
    default:
        return nullptr;
    }
}

namespace {

// Every source that names a COM port, each port once, in number order.
PortTable* listed_ports(bool friendly_names) {
    static PortTable table;
    table.count = 0;
    add_registered_ports(&table);
    add_named_ports(&table);
    add_wine_port_links(&table);
    if (friendly_names) add_friendly_names(&table);
    std::qsort(table.entries, static_cast<size_t>(table.count), sizeof table.entries[0], compare_ports);
    return &table;
}

}  // namespace

void device_list_ports(void (*emit)(const char* name, const char* detail, void* context), void* context) {
    const PortTable* table = listed_ports(true);
    for (int i = 0; i < table->count; ++i) emit_port(table->entries[i], emit, context);
}

void device_list_names(void (*emit)(const char* name, void* context), void* context) {
    const PortTable* table = listed_ports(false);
    for (int i = 0; i < table->count; ++i) emit(table->entries[i].name, context);
}
