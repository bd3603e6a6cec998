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

bool result_file_sync(intptr_t file) {
    if (FlushFileBuffers(reinterpret_cast<HANDLE>(file))) return true;
    const DWORD error = GetLastError();
    // A console or a pipe has no disk to flush to.
    if (error == ERROR_INVALID_HANDLE || error == ERROR_INVALID_FUNCTION) return true;
    last_error = error;
    return false;
}

// Write access, unlike the shared log's append-only handle, so that a short
// write can be cut off again; others may only read.
intptr_t result_file_open_sole(const char* path) {
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        last_error = GetLastError();
        return -1;
    }
    return reinterpret_cast<intptr_t>(file);
}

bool result_file_append_whole(intptr_t file, const char* line, size_t length) {
    const HANDLE handle = reinterpret_cast<HANDLE>(file);
    LARGE_INTEGER end{}, zero{};
    if (!SetFilePointerEx(handle, zero, &end, FILE_END)) {
        last_error = GetLastError();
        return false;
    }
    if (result_file_append(file, line, length)) return result_file_sync(file);
    const DWORD error = last_error;
    if (SetFilePointerEx(handle, end, nullptr, FILE_BEGIN)) SetEndOfFile(handle);
    last_error = error;
    return false;
}

void result_file_close(intptr_t file) {
    if (file != -1) CloseHandle(reinterpret_cast<HANDLE>(file));
}
