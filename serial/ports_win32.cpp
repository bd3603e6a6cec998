// Win32 port names and explanations: the \\.\ device form, the system's
// reason in words for an open that failed, and the COM ports there are.
#include <cstdio>
#include <cstring>

#include "device.h"
#include "win32_api.h"

namespace {

constexpr char DEVICE_NAMESPACE[] = "\\\\.\\";
// COM1 to COM256, the numbers Windows gives ports.
constexpr int PROBED_PORTS = 257;

// The registry lists the ports that drivers announce; a port that opens is
// there too, even when no driver wrote it down (or it is busy: then it is
// listed anyway, with the reason).
void list_registered_ports(void (*emit)(const char*, const char*, void*), void* context, bool* listed) {
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
        if (result != ERROR_SUCCESS) break;
        if (type != REG_SZ || name_size == 0) continue;
        name[name_size < sizeof name ? name_size : sizeof name - 1] = '\0';
        int number = 0;
        if (std::sscanf(name, "COM%d", &number) == 1 && number >= 0 && number < PROBED_PORTS) listed[number] = true;
        emit(name, driver, context);
    }
    RegCloseKey(key);
}

void list_ports_that_open(void (*emit)(const char*, const char*, void*), void* context, const bool* listed) {
    for (int number = 1; number < PROBED_PORTS; ++number) {
        if (listed[number]) continue;
        char path[32];
        device_default_path(number, path, sizeof path);
        const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        if (handle == INVALID_HANDLE_VALUE && error != ERROR_ACCESS_DENIED) continue;
        char name[16];
        std::snprintf(name, sizeof name, "COM%d", number);
        emit(name, error == ERROR_ACCESS_DENIED ? "in use" : "", context);
    }
}

// The system's text in the console's own code page, so that a German or
// Japanese Windows shows its reasons readably. Without a console, the
// system's ANSI code page.
bool system_text(DWORD error, char* out, size_t size) {
    wchar_t wide[512];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        wide, sizeof wide / sizeof wide[0], nullptr);
    if (length == 0) return false;
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = GetACP();
    const int bytes = WideCharToMultiByte(code_page, 0, wide, static_cast<int>(length), out,
                                          static_cast<int>(size - 1), nullptr, nullptr);
    if (bytes <= 0) return false;
    out[bytes] = '\0';
    return true;
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

void device_error_text(long error, char* out, size_t size) {
    if (size == 0) return;
    if (!system_text(static_cast<DWORD>(error), out, size)) {
        std::snprintf(out, size, "system error %ld", error);
        return;
    }
    // The system's text ends with a full stop and a line end; the caller
    // puts it in a sentence of its own.
    size_t end = std::strlen(out);
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == ' ' || out[end - 1] == '.')) {
        --end;
    }
    out[end] = '\0';
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

void device_list_ports(void (*emit)(const char* name, const char* detail, void* context), void* context) {
    bool listed[PROBED_PORTS] = {};
    list_registered_ports(emit, context, listed);
    list_ports_that_open(emit, context, listed);
}
