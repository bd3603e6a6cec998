// Serial device on Win32. The COM device is opened exclusively and with
// overlapped I/O, so that no transfer holds the run: a one-byte read stays
// armed while the run waits, and its event wakes the wait the moment a byte
// arrives; a write that the device does not take at once is waited for
// together with the keyboard and the break. No time-outs or queue sizes are
// set: whatever the driver has stays in force.
#include <cstdio>

#include "clock.h"
#include "dcb_win32.h"
#include "device.h"

namespace {

// One device is open per port in use; a re-open closes the old one first.
constexpr int DEVICE_POOL = 4;

struct Win32Device {
    HANDLE file;               // nullptr: the entry is free
    OVERLAPPED read_io;        // the armed one-byte read, then the queue's reads
    OVERLAPPED write_io;
    unsigned char armed_byte;
    bool read_armed;           // a read of armed_byte is outstanding or done, not yet collected
    bool arm_failed;           // the last arming failed with arm_error
    DeviceError arm_error;
};

Win32Device pool[DEVICE_POOL];

// The thread's error of the call that has just failed, read before anything
// else can change it. A failure never reads as success, even without a code.
DeviceError last_error() {
    const DWORD error = GetLastError();
    return error != 0 ? static_cast<DeviceError>(error) : ERROR_GEN_FAILURE;
}

// nullptr (ERROR_INVALID_HANDLE for the caller) when the handle is not open.
Win32Device* device_of(DeviceHandle handle) {
    for (Win32Device& device : pool) {
        if (reinterpret_cast<DeviceHandle>(&device) == handle && device.file != nullptr) return &device;
    }
    return nullptr;
}

// Manual-reset events, made once per entry and kept.
bool events_ready(Win32Device* device) {
    if (device->read_io.hEvent == nullptr) device->read_io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (device->write_io.hEvent == nullptr) device->write_io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return device->read_io.hEvent != nullptr && device->write_io.hEvent != nullptr;
}

void reset_io(OVERLAPPED* io) {
    const HANDLE event = io->hEvent;
    *io = OVERLAPPED{};
    io->hEvent = event;
}

bool read_dcb(HANDLE file, DCB* dcb) {
    *dcb = DCB{};
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(file, dcb) != 0;
}

// Waits for a started transfer to end; the error when it failed.
DeviceError finish_io(Win32Device* device, OVERLAPPED* io, DWORD* count) {
    return GetOverlappedResult(device->file, io, count, TRUE) ? 0 : last_error();
}

void cancel_io(Win32Device* device, OVERLAPPED* io) {
    DWORD count = 0;
    if (CancelIoEx(device->file, io) || GetLastError() != ERROR_NOT_FOUND) (void)finish_io(device, io, &count);
}

// Starts the one-byte read that a wait can block on. A read that completes
// at once has its byte ready, as one that completes later.
void arm_read(Win32Device* device) {
    reset_io(&device->read_io);
    if (ReadFile(device->file, &device->armed_byte, 1, nullptr, &device->read_io) ||
        GetLastError() == ERROR_IO_PENDING) {
        device->read_armed = true;
        return;
    }
    device->arm_failed = true;
    device->arm_error = last_error();
}

// The armed read ended without a byte (and is no longer armed).
bool armed_read_came_empty(Win32Device* device) {
    DWORD count = 0;
    if (!GetOverlappedResult(device->file, &device->read_io, &count, FALSE) || count != 0) return false;
    device->read_armed = false;
    return true;
}

// True when a wake handle was signalled within ms.
bool wait_on_wake_set(const WakeSet& wake, DWORD ms) {
    if (wake.count == 0) {
        Sleep(ms);
        return false;
    }
    HANDLE waits[WAKE_HANDLES_MAX];
    for (int i = 0; i < wake.count; ++i) waits[i] = reinterpret_cast<HANDLE>(wake.handles[i]);
    const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(wake.count), waits, FALSE, ms);
    return woke < WAIT_OBJECT_0 + static_cast<DWORD>(wake.count);
}

enum ArmedRead { ARMED_PENDING, ARMED_BYTE, ARMED_EMPTY, ARMED_FAILED };

// Takes the armed read's result if it has one; *error tells why it failed.
ArmedRead collect_armed(Win32Device* device, DeviceError* error) {
    DWORD count = 0;
    if (!GetOverlappedResult(device->file, &device->read_io, &count, FALSE)) {
        *error = last_error();
        if (*error == ERROR_IO_INCOMPLETE) return ARMED_PENDING;
        device->read_armed = false;
        return ARMED_FAILED;
    }
    device->read_armed = false;
    return count == 1 ? ARMED_BYTE : ARMED_EMPTY;
}

// Reads exactly what the driver holds, which completes at once.
DeviceError read_queued(Win32Device* device, unsigned char* buffer, uint32_t size, uint32_t* got) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(device->file, &errors, &status)) return last_error();
    if (status.cbInQue == 0 || size == 0) return 0;
    const DWORD wanted = status.cbInQue < size ? status.cbInQue : size;
    reset_io(&device->read_io);
    if (!ReadFile(device->file, buffer, wanted, nullptr, &device->read_io)) {
        const DeviceError error = last_error();
        if (error != ERROR_IO_PENDING) return error;
    }
    DWORD count = 0;
    if (const DeviceError error = finish_io(device, &device->read_io, &count)) return error;
    *got += count;
    return 0;
}

// The wait of a write the device has not taken yet: until it completes, or
// the watch gives it up.
DeviceError wait_for_write(Win32Device* device, const WriteWatch* watch) {
    const uint32_t stalled_since = system_clock.tick_ms();
    bool heed_wake = true;
    for (;;) {
        HANDLE waits[1 + WAKE_HANDLES_MAX] = {device->write_io.hEvent};
        DWORD count = 1;
        for (int i = 0; watch != nullptr && heed_wake && i < watch->wake.count; ++i) {
            waits[count++] = reinterpret_cast<HANDLE>(watch->wake.handles[i]);
        }
        std::fflush(stderr);  // the console is told everything before we block
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, watch != nullptr ? WRITE_WATCH_SLICE_MS : INFINITE);
        if (woke == WAIT_OBJECT_0) return 0;
        if (woke == WAIT_FAILED) return last_error();
        const uint32_t stalled = system_clock.tick_ms() - stalled_since;
        if (!watch->keep_waiting(watch->context, stalled)) {
            cancel_io(device, &device->write_io);
            return ERROR_OPERATION_ABORTED;
        }
        heed_wake = woke == WAIT_TIMEOUT;
    }
}

}  // namespace

void device_default_path(int port, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    const int length = std::snprintf(out, size, "\\\\.\\COM%d", port);
    if (length < 0 || static_cast<size_t>(length) >= size) out[0] = '\0';
}

DeviceError device_open(const char* path, DeviceHandle* handle) {
    *handle = INVALID_DEVICE;
    Win32Device* device = nullptr;
    for (Win32Device& entry : pool) {
        if (entry.file == nullptr) {
            device = &entry;
            break;
        }
    }
    if (device == nullptr || !events_ready(device)) return ERROR_TOO_MANY_OPEN_FILES;
    const HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (file == INVALID_HANDLE_VALUE) return last_error();
    device->file = file;
    device->read_armed = false;
    device->arm_failed = false;
    *handle = reinterpret_cast<DeviceHandle>(device);
    return 0;
}

DeviceError device_close(DeviceHandle handle) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    if (device->read_armed) cancel_io(device, &device->read_io);
    const DeviceError error = CloseHandle(device->file) ? 0 : last_error();
    device->file = nullptr;
    return error;
}

DeviceError device_read_settings(DeviceHandle handle, LineSettings* settings) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    DCB dcb;
    if (!read_dcb(device->file, &dcb)) return last_error();
    settings_from_dcb(dcb, settings);
    return 0;
}

DeviceError device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    DCB wanted;
    dcb_from_settings(*settings, &wanted);
    if (!SetCommState(device->file, &wanted)) return last_error();
    // Drivers may accept a block and quietly keep something else.
    DCB actual;
    if (!read_dcb(device->file, &actual)) return last_error();
    return dcb_took(wanted, actual) ? 0 : ERROR_INVALID_PARAMETER;
}

bool device_is_named(DeviceHandle, const char*) { return false; }

DeviceError device_has_modem_lines(DeviceHandle handle) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    DWORD status = 0;
    return GetCommModemStatus(device->file, &status) ? 0 : last_error();
}

DeviceError device_set_modem_line(DeviceHandle handle, ModemLine line, bool on) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    const DWORD function = line == MODEM_DTR ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
    return EscapeCommFunction(device->file, function) ? 0 : last_error();
}

// The armed read has ended in a failure that no wait has collected yet: a
// line that hung up while nothing waited on it (the erase countdown) tells
// it only there. A byte it holds stays for the next read.
bool armed_read_failed(Win32Device* device) {
    if (device->arm_failed) return true;
    DWORD count = 0;
    return device->read_armed && !GetOverlappedResult(device->file, &device->read_io, &count, FALSE) &&
           GetLastError() != ERROR_IO_INCOMPLETE;
}

DeviceError device_health(DeviceHandle handle) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    if (armed_read_failed(device)) return ERROR_DEVICE_NOT_CONNECTED;
    // A vanished adapter fails the query.
    DCB scratch;
    return read_dcb(device->file, &scratch) ? 0 : last_error();
}

DeviceError device_write(DeviceHandle handle, const void* data, uint32_t count, const WriteWatch* watch) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    const auto* next = static_cast<const unsigned char*>(data);
    uint32_t left = count;
    while (left > 0) {
        reset_io(&device->write_io);
        if (!WriteFile(device->file, next, left, nullptr, &device->write_io)) {
            const DeviceError error = last_error();
            if (error != ERROR_IO_PENDING) return error;
            if (const DeviceError waited = wait_for_write(device, watch)) return waited;
        }
        DWORD written = 0;
        if (!GetOverlappedResult(device->file, &device->write_io, &written, FALSE)) return last_error();
        // Only a driver time-out set by someone else ends a write early;
        // without progress there is nothing to continue.
        if (written == 0) return ERROR_WRITE_FAULT;
        next += written;
        left -= written;
    }
    return 0;
}

DeviceError device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    if (device->arm_failed) {
        device->arm_failed = false;
        return device->arm_error;
    }
    auto* bytes = static_cast<unsigned char*>(buffer);
    if (device->read_armed && size > 0) {
        DeviceError error = 0;
        switch (collect_armed(device, &error)) {
        case ARMED_PENDING: return 0;  // nothing has come: the driver holds nothing either
        case ARMED_FAILED: return error;
        case ARMED_EMPTY: break;          // ended by a driver time-out of someone else's
        case ARMED_BYTE:
            // The byte that woke us came first: it goes before what followed it.
            bytes[0] = device->armed_byte;
            *got = 1;
            break;
        }
    }
    return read_queued(device, bytes + *got, size - *got, got);
}

WaitResult device_wait_input(DeviceHandle handle, const WakeSet& wake, uint32_t ms) {
    Win32Device* device = handle != 0 && handle != INVALID_DEVICE ? device_of(handle) : nullptr;
    std::fflush(stderr);  // everything said so far is on the console before we block
    for (uint32_t left = ms;;) {
        HANDLE waits[1 + WAKE_HANDLES_MAX];
        DWORD count = 0;
        if (device != nullptr) {
            if (!device->read_armed) arm_read(device);
            if (device->arm_failed) return WAIT_DEVICE;  // the next read reports it
            waits[count++] = device->read_io.hEvent;
        }
        const DWORD first_wake = count;
        for (int i = 0; i < wake.count; ++i) waits[count++] = reinterpret_cast<HANDLE>(wake.handles[i]);
        if (count == 0) {
            Sleep(left);
            return WAIT_TIMED_OUT;
        }
        const DWORD woke = WaitForMultipleObjects(count, waits, FALSE, left);
        if (woke >= WAIT_OBJECT_0 + first_wake && woke < WAIT_OBJECT_0 + count) return WAIT_WOKEN;
        if (woke == WAIT_FAILED) Sleep(left < 50 ? left : 50);  // never spin on a broken handle
        if (woke != WAIT_OBJECT_0 || device == nullptr) return WAIT_TIMED_OUT;
        if (!armed_read_came_empty(device)) return WAIT_DEVICE;
        // Read time-outs of the driver's own (left by another program) end
        // the read without a byte: look again each millisecond instead,
        // still woken by the wake set.
        if (left <= 1) return WAIT_TIMED_OUT;
        left -= 1;
        if (wait_on_wake_set(wake, 1)) return WAIT_WOKEN;
    }
}

DeviceError device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue) {
    Win32Device* device = device_of(handle);
    if (device == nullptr) return ERROR_INVALID_HANDLE;
    // Also clears a latched line error (framing, overrun, parity), so
    // reception goes on after one.
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(device->file, &errors, &status)) return last_error();
    *in_queue = status.cbInQue;
    *out_queue = status.cbOutQue;
    return 0;
}

void device_discard_output(DeviceHandle handle) {
    Win32Device* device = device_of(handle);
    if (device != nullptr) PurgeComm(device->file, PURGE_TXABORT | PURGE_TXCLEAR);
}

void device_describe_hold(DeviceHandle handle, char* out, size_t size) {
    Win32Device* device = device_of(handle);
    DCB dcb;
    if (device == nullptr || !read_dcb(device->file, &dcb)) {
        std::snprintf(out, size, "the device does not answer");
        return;
    }
    // Modem lines and queue as far as the driver tells them.
    DWORD modem = 0;
    const bool modem_known = GetCommModemStatus(device->file, &modem) != 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(device->file, &errors, &status)) status.cbOutQue = 0;
    describe_dcb_hold(dcb, modem_known ? &modem : nullptr, status.cbOutQue, out, size);
}

void device_describe_flow(DeviceHandle handle, char* out, size_t size) {
    Win32Device* device = device_of(handle);
    DCB dcb;
    if (device == nullptr || !read_dcb(device->file, &dcb)) {
        std::snprintf(out, size, "unknown");
        return;
    }
    describe_dcb_flow(dcb, out, size);
}
