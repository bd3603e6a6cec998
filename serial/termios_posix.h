// The line record and the POSIX terminal record: which fields fwld owns,
// the rates, raw mode, RTS, and whether the device took them. Private to
// device_posix.cpp, as dcb_win32.h is to device_win32.cpp.
#pragma once
#include <termios.h>

#include "line_settings.h"

// The whole terminal record as the device reports it, with the owned fields
// lifted out (the rate exact where the platform can tell, RTS from the modem
// lines). On failure errno tells why.
bool termios_read_line(int fd, LineSettings* settings);
// The record read at open with the owned fields of the line record on top,
// applied; true only when the device runs with it (read back and compared).
// On failure errno tells why: EINVAL for a field with no termios equivalent
// or one the device did not take.
bool termios_apply_line(int fd, const LineSettings& settings);
// Output waits for CTS (CRTSCTS, where the platform has it).
bool termios_hardware_flow(const struct termios& tio);
