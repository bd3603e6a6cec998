// Platform seam of fwld-gang, part one: names and folders, which the
// portable logic and its tests use. platform_posix.cpp and platform_win32.cpp. The
// clock and the files it appends to are the host floor's (host/clock.h,
// host/result_file.h).
#pragma once
#include <cstddef>
#include <cstdint>

// The device a port names, as fwld reads the port (a number, COMn, a bare
// name, a path), not resolved further.
void port_device(const char* port, char* out, size_t size);
// Text that names the device a port names, so that two spellings of one
// port (3 and COM3, a link and its device) compare equal.
void port_identity(const char* port, char* out, size_t size);

// fwld (fwld.exe) in the folder of the running program. False when it is
// not there; `path` then holds where it was looked for.
bool locate_fwld(const char* argv0, char* path, size_t size);

// Creates the folder unless it exists. False with the reason.
bool make_log_dir(const char* path, char* reason, size_t size);
// "DIR/NAME" or "DIR\NAME".
void join_path(const char* dir, const char* name, char* out, size_t size);

// Replaces the file with `text` in one step (a new file renamed over it).
bool file_replace(const char* path, const char* text, size_t length, char* reason, size_t size);
// A copy of the file, made anew. False with the reason.
bool file_copy(const char* from, const char* to, char* reason, size_t size);

// This process's id.
long process_id();

