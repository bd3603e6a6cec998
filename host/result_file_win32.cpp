// Win32 result file: a handle with FILE_APPEND_DATA and no other write right
// makes every WriteFile land whole at the end of the file, whoever else
// appends. Other processes may read and append meanwhile.
#include <windows.h>

#include "result_file.h"

namespace {

DWORD last_error = 0;

}  // namespace

intptr_t result_file_open(const char* path) {
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        last_error = GetLastError();
        return -1;
    }
    return reinterpret_cast<intptr_t>(file);
}

long result_file_last_error() { return static_cast<long>(last_error); }

bool result_file_append(intptr_t file, const char* line, size_t length) {
    if (length > MAXDWORD) {
        last_error = ERROR_INVALID_PARAMETER;
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), line, static_cast<DWORD>(length), &written, nullptr)) {
        last_error = GetLastError();
        return false;
    }
    if (written != length) last_error = ERROR_DISK_FULL;
    return written == length;
}

void result_file_close(intptr_t file) {
    if (file != -1) CloseHandle(reinterpret_cast<HANDLE>(file));
}
