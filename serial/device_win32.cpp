// Serial device on Win32. The handle is the file handle of the COM device,
// opened exclusively and without overlapped I/O, so every call completes
// before it returns. No time-outs or queue sizes are set: whatever the
// driver has stays in force.
#include <cstdio>

#include "dcb_win32.h"
#include "device.h"

namespace {

HANDLE handle_of(DeviceHandle handle) { return reinterpret_cast<HANDLE>(handle); }

bool usable(DeviceHandle handle) {
    if (handle == 0 || handle == INVALID_DEVICE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool read_dcb(DeviceHandle handle, DCB* dcb) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(handle_of(handle), dcb) != 0;
}

}  // namespace

void device_default_path(int port, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    const int length = std::snprintf(out, size, "\\\\.\\COM%d", port);
    if (length < 0 || static_cast<size_t>(length) >= size) out[0] = '\0';
}

DeviceHandle device_open(const char* path) {
    const HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return INVALID_DEVICE;
    return reinterpret_cast<DeviceHandle>(handle);
}

bool device_close(DeviceHandle handle) { return usable(handle) && CloseHandle(handle_of(handle)) != 0; }

long device_last_error() { return static_cast<long>(GetLastError()); }

void device_clear_error() { SetLastError(0); }

bool device_read_settings(DeviceHandle handle, LineSettings* settings) {
    DCB dcb;
    if (!usable(handle) || !read_dcb(handle, &dcb)) return false;
    settings_from_dcb(dcb, settings);
    return true;
}

bool device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    if (!usable(handle)) return false;
    DCB wanted;
    dcb_from_settings(*settings, &wanted);
    if (!SetCommState(handle_of(handle), &wanted)) return false;
    // Drivers may accept a block and quietly keep something else.
    DCB actual;
    if (!read_dcb(handle, &actual)) return false;
    if (!dcb_took(wanted, actual)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

bool device_answers(DeviceHandle handle) {
    if (!usable(handle)) return false;
    // Judged by the thread's error code after the query, as the caller
    // cleared it first; a vanished adapter fails the query.
    DCB scratch;
    read_dcb(handle, &scratch);
    return GetLastError() == 0;
}

bool device_write(DeviceHandle handle, const void* data, uint32_t count) {
    if (!usable(handle)) return false;
    std::fflush(stderr);  // a write may block: the console is told first
    const auto* next = static_cast<const unsigned char*>(data);
    uint32_t left = count;
    while (left > 0) {
        DWORD written = 0;
        if (!WriteFile(handle_of(handle), next, left, &written, nullptr)) return false;
        if (written == 0) {
            // Only a driver time-out set by someone else ends a write early;
            // without progress there is nothing to continue.
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        next += written;
        left -= written;
    }
    return true;
}

bool device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    if (!usable(handle)) return false;
    // No time-outs are set, so a read waits for all it asks for: ask for
    // no more than the driver holds.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_of(handle), &errors, &status)) return false;
    if (status.cbInQue == 0) return true;
    DWORD count = 0;
    const DWORD wanted = status.cbInQue < size ? status.cbInQue : size;
    if (!ReadFile(handle_of(handle), buffer, wanted, &count, nullptr)) return false;
    *got = count;
    return true;
}

bool device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue) {
    if (!usable(handle)) return false;
    // Also clears a latched line error (framing, overrun, parity), so
    // reception goes on after one.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle_of(handle), &errors, &status)) return false;
    *in_queue = status.cbInQue;
    *out_queue = status.cbOutQue;
    return true;
}
