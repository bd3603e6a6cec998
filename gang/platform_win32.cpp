// fwld-gang on Windows: port identities, fwld.exe's place, log files.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "args.h"
#include "device_names.h"
#include "platform.h"
#include "system.h"


void port_device(const char* port, char* out, size_t size) {
    if (std::strncmp(port, "\\\\.\\", 4) == 0) port += 4;
    long number = 0;
    if (device_port_number(port, &number)) {
        std::snprintf(out, size, "COM%ld", number);
    } else {
        std::snprintf(out, size, "%s", port);
    }
}

void port_identity(const char* port, char* out, size_t size) {
    port_device(port, out, size);
    // Device names ignore case.
    for (char* c = out; *c != '\0'; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
}

bool locate_fwld(const char*, char* path, size_t size) {
    char own[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, own, sizeof own);
    if (n == 0 || n >= sizeof own) {
        std::snprintf(path, size, "fwld.exe");
        return false;
    }
    char* slash = std::strrchr(own, '\\');
    if (slash != nullptr) *slash = '\0';
    std::snprintf(path, size, "%s\\fwld.exe", slash != nullptr ? own : ".");
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool make_log_dir(const char* path, char* reason, size_t size) {
    if (CreateDirectoryA(path, nullptr)) return true;
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesA(path);
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return true;
    }
    system_error_text(error, reason, size);
    return false;
}

void join_path(const char* dir, const char* name, char* out, size_t size) {
    std::snprintf(out, size, "%s\\%s", dir, name);
}

bool file_replace(const char* path, const char* text, size_t length, char* reason, size_t size) {
    char fresh[MAX_PATH + 8];
    std::snprintf(fresh, sizeof fresh, "%s.new", path);
    const HANDLE file =
        CreateFileA(fresh, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) && written == length;
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE && !CloseHandle(file) && ok) ok = false, error = GetLastError();
    if (ok && MoveFileExA(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    if (ok) error = GetLastError();
    system_error_text(error, reason, size);
    DeleteFileA(fresh);
    return false;
}

bool file_copy(const char* from, const char* to, char* reason, size_t size) {
    if (CopyFileA(from, to, FALSE)) return true;
    system_error_text(GetLastError(), reason, size);
    return false;
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }
