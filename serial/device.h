// Platform seam of the serial link, private to serial/: one file per
// platform implements these (device_posix.cpp, device_win32.cpp). The port
// table and byte transfer above it never see the platform.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device_names.h"
#include "line_settings.h"
#include "line_wait.h"

using DeviceHandle = intptr_t;
// The value a failed open leaves in a slot (the same bits as the Win32
// invalid handle). Zero means "never opened".
constexpr DeviceHandle INVALID_DEVICE = -1;

// What a fallible call returns: 0 for success, else the system's code for
// the failure (errno / GetLastError), taken straight after the failing
// system call, so that nothing in between can change it. In words by
// system_error_text (host/system.h).
using DeviceError = long;

// Open exclusively for reading and writing. Transfers never wait for the
// target by themselves: reads take what has arrived, and the waits below
// block on the device together with the keyboard.
// *handle is INVALID_DEVICE on failure.
DeviceError device_open(const char* path, DeviceHandle* handle);
DeviceError device_close(DeviceHandle handle);

// Read the whole line record from the device.
DeviceError device_read_settings(DeviceHandle handle, LineSettings* settings);
// Apply the record; 0 only when the device really runs with it (read back
// and compared).
DeviceError device_apply_settings(DeviceHandle handle, const LineSettings* settings);
// 0 while still there: the settings can be read and the line has not hung up.
DeviceError device_health(DeviceHandle handle);
// The path still names the device the handle holds: false when it names
// nothing now, or another device (a board plugged in after the one that
// went). Asked of a handle that has failed. Windows cannot tell one device
// from the next under a COM name, and a COM handle fails only when its
// device has gone: there the answer is always false.
bool device_is_named(DeviceHandle handle, const char* path);

// Blocks until the device has something for device_read_available (a byte,
// or a failure it will report), a wake handle is signalled, or ms have
// passed. With handle 0 or INVALID_DEVICE only the wake set and the time.
WaitResult device_wait_input(DeviceHandle handle, const WakeSet& wake, uint32_t ms);

// How a write that makes no progress is watched: it waits on the device and
// on the wake set, and each time that wait ends without progress (woken, or
// WRITE_WATCH_SLICE_MS passed) asks keep_waiting, with the milliseconds since
// the device last took a byte. False gives the write up: it is cancelled and
// fails.
constexpr uint32_t WRITE_WATCH_SLICE_MS = 250;
struct WriteWatch {
    WakeSet wake;
    bool (*keep_waiting)(void* context, uint32_t stalled_ms);
    void* context;
};

// Writes everything (partial writes and interrupted calls are continued).
// Without a watch it waits for room as long as it takes.
DeviceError device_write(DeviceHandle handle, const void* data, uint32_t count, const WriteWatch* watch = nullptr);
// Drops what is queued for sending and not sent yet.
void device_discard_output(DeviceHandle handle);
// What may hold a line that takes no bytes, in words for the operator: the
// flow control that is on and the state of its modem lines, or the queue.
void device_describe_hold(DeviceHandle handle, char* out, size_t size);
// The handshaking settings the device runs with, for the trace: on Windows
// the fields it keeps as it had them.
void device_describe_flow(DeviceHandle handle, char* out, size_t size);
// The modem lines: whether the device has them to read (0 when it has; a
// pty has none), and one set on or off at once.
DeviceError device_has_modem_lines(DeviceHandle handle);
DeviceError device_set_modem_line(DeviceHandle handle, ModemLine line, bool on);
// Reads what has arrived, up to size bytes, without waiting: *got is 0 when
// nothing has. An error when the device failed (hung up, gone).
DeviceError device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got);
// Bytes received and not read / bytes queued and not yet sent.
DeviceError device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue);
