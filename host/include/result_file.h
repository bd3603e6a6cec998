// A file that several processes append whole lines to (the result log), or
// that one process alone keeps whole lines in (fwld-gang's results).
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
// The whole line in one write; leaves errno
// as it was. False, with the reason kept, when not all of it went out.
bool result_file_append(intptr_t file, const char* line, size_t length);
// Flushes what was appended to the disk itself (fdatasync,
// FlushFileBuffers): a line that returns from here survives a power cut.
// A file that has no disk behind it (a pipe, a device) counts as flushed.
// False, with the reason kept, when the system says it could not.
bool result_file_sync(intptr_t file);
// For a file this process alone appends to (fwld-gang's results): the line
// at the end in one write, a short write taken back, so that the file only
// ever holds whole lines, then the file flushed to the disk. Windows needs
// the handle of result_file_open_sole to take a write back. False, with the
// reason kept, when the line is not whole on the disk.
intptr_t result_file_open_sole(const char* path);
bool result_file_append_whole(intptr_t file, const char* line, size_t length);
void result_file_close(intptr_t file);
