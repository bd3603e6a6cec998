// A file that several processes append whole lines to (the result log).
// Each line goes out in one write on a file opened for appending, so lines
// from different processes never mix or cut each other.
#pragma once
#include <cstddef>
#include <cstdint>

// Opens for appending, creating the file if it is missing (0644 on POSIX).
// -1 when it cannot: result_file_last_error says why.
intptr_t result_file_open(const char* path);
// The system's code of the last failure of open or append (errno,
// GetLastError).
long result_file_last_error();
// The whole line in one write. Async-signal-safe on POSIX, and leaves errno
// as it was. False, with the reason kept, when not all of it went out.
bool result_file_append(intptr_t file, const char* line, size_t length);
void result_file_close(intptr_t file);
