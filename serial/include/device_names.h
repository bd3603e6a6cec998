// How the platform names serial devices and explains why one does not open.
// No platform type here: the update run reads it.
#pragma once
#include <cstddef>

// Device name for a numbered port. Writes "" when the number has no device.
void device_default_path(int port, char* out, size_t size);

// Port names as typed on the command line.
// "COM" in any case and a digit: a port named by its Windows number.
bool device_names_com(const char* text);
// "N" or "COMn" (any case, digits only): the port's number.
bool device_port_number(const char* text, long* number);
// Where a trailing ":BAUD" starts: the last colon when only digits follow
// it, since device names of their own may hold colons. nullptr when none.
const char* device_baud_colon(const char* text);
// The text names a device explicitly (POSIX: it holds a '/'; Windows: it
// begins with \\.\).
bool device_names_path(const char* text);
// A bare device name the platform knows (POSIX: /dev/<name> exists, or the
// name looks like a serial device's, so that its absence is explained like
// that of its path): writes the device path to out. False when there is
// none or it does not fit.
bool device_find_by_name(const char* name, char* out, size_t size);

// Help when a device does not open: what the user can do about the error
// (the platform's code, errno / GetLastError), one sentence; nullptr when
// there is nothing useful to say.
const char* device_error_hint(long error);
// Calls emit once for each serial device the machine has, in a stable order,
// without opening any that may reset a board. name is the device (a path on
// POSIX, COMn on Windows); detail is what is known of it, items joined by
// ", " (its stable names, driver, USB IDs and serial number, "in use"; on
// Windows the name the system shows and the driver's device), or "".
void device_list_ports(void (*emit)(const char* name, const char* detail, void* context), void* context);
// The same ports' names alone, at a cost that may be paid every 250 ms: on
// Windows without asking SetupAPI what each port is; on POSIX as above.
void device_list_names(void (*emit)(const char* name, void* context), void* context);
