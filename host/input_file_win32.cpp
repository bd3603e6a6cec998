// Win32 input files: device names are refused by name before anything opens
// them (opening COM1 would move its lines), directories by their attributes,
// and whatever opens must be a file on a disk.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "input_file.h"
#include "system.h"

namespace {

const char not_a_file[] = "Is a device, not a file";

bool is_separator(char c) { return c == '\\' || c == '/'; }

// \\.\ and \\?\ lead into the device namespace; only a drive path or UNC
// behind them names a file.
bool names_device_namespace(const char* path) {
    if (!is_separator(path[0]) || !is_separator(path[1]) || (path[2] != '.' && path[2] != '?') ||
        !is_separator(path[3])) {
        return false;
    }
    const char* rest = path + 4;
    if (std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':' && is_separator(rest[2])) return false;
    return _strnicmp(rest, "UNC", 3) != 0 || !is_separator(rest[3]);
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 are devices in every folder, with
// any extension.
bool names_dos_device(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (is_separator(*c) || *c == ':') name = c + 1;
    }
    size_t length = std::strcspn(name, ".:");
    while (length > 0 && name[length - 1] == ' ') --length;
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : devices) {
        if (length == std::strlen(device) && _strnicmp(name, device, length) == 0) return true;
    }
    return length == 4 && (_strnicmp(name, "COM", 3) == 0 || _strnicmp(name, "LPT", 3) == 0) &&
           std::isdigit(static_cast<unsigned char>(name[3]));
}

int refuse(const char* why, char* reason, size_t size) {
    std::snprintf(reason, size, "%s", why);
    return -1;
}

int refuse_for(DWORD error, char* reason, size_t size) {
    system_error_text(static_cast<long>(error), reason, size);
    return -1;
}

}  // namespace

int input_file_open(const char* path, char* reason, size_t size) {
    if (names_device_namespace(path) || names_dos_device(path)) return refuse(not_a_file, reason, size);
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) return refuse_for(GetLastError(), reason, size);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return refuse("Is a directory", reason, size);
    // Shared as the C runtime's open() shares: others may read and write.
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return refuse_for(GetLastError(), reason, size);
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return refuse(not_a_file, reason, size);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return refuse_for(ERROR_TOO_MANY_OPEN_FILES, reason, size);
    }
    return fd;
}

long input_file_read(int fd, void* buffer, unsigned size) { return _read(fd, buffer, size); }

bool input_file_length(int fd, int64_t* length) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &size)) return false;
    *length = static_cast<int64_t>(size.QuadPart);
    return true;
}

void input_file_rewind(int fd) { _lseeki64(fd, 0, SEEK_SET); }
void input_file_close(int fd) { _close(fd); }
FILE* input_file_stream(int fd) { return _fdopen(fd, "rb"); }
bool input_file_stream_length(FILE* stream, int64_t* length) { return input_file_length(_fileno(stream), length); }
