// Serial device in memory, for fuzzers and tests: the peer's bytes wait in a
// queue, fwld's writes are captured, and faults come from the script. Every
// open hands out a new handle, so a call on a closed or replaced handle is
// caught (counted as a misuse) instead of landing on whatever reused it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "device.h"
#include "device_memory.h"

namespace {

constexpr DeviceHandle FIRST_HANDLE = 100;

struct FaultWindow {
    uint32_t skip;
    uint32_t times;
};

struct MemoryDevice {
    bool ready;              // reset has run
    bool unplugged;
    uint32_t open_refusals;  // opens still refused while unplugged
    bool unplug_armed;
    size_t unplug_at_read;   // read total that pulls the plug
    uint32_t unplug_refusals;
    DeviceHandle open_handle;  // 0 when closed
    bool handle_dead;          // unplugged under the open handle
    DeviceHandle next_handle;
    LineSettings line;
    unsigned char input[MEMORY_INPUT_CAPACITY];
    size_t input_head;
    size_t input_tail;
    size_t read_total;
    unsigned char output[MEMORY_OUTPUT_CAPACITY];
    size_t output_count;
    size_t output_lost;
    FaultWindow faults[FAULT_KIND_COUNT];
    MemoryWriteWatch watch;
    uint32_t stall_slices;
    uint32_t held_output;
    uint32_t discards;
    MemoryDeviceCounts counts;
    MemoryLineChange line_changes[MEMORY_LINE_CHANGES_MAX];
    int line_change_count;
};

MemoryDevice device;

MemoryDevice& dev() {
    if (!device.ready) memory_device_reset();
    return device;
}

bool injected(MemoryFault kind) {
    FaultWindow& w = dev().faults[kind];
    if (w.skip > 0) {
        --w.skip;
        return false;
    }
    if (w.times == 0) return false;
    --w.times;
    return true;
}

// Whether fwld may use the handle now (0), or why not. A failed open's value
// fails quietly, as on a real platform; anything else but the open handle
// is a fault in fwld.
DeviceError usable(DeviceHandle handle) {
    MemoryDevice& d = dev();
    if (handle == INVALID_DEVICE) return EBADF;
    if (handle == 0 || handle != d.open_handle) {
        ++d.counts.misuses;
        return EBADF;
    }
    if (d.handle_dead) return EIO;
    return 0;
}

// What a freshly plugged device runs with.
void power_on_line(LineSettings* line) {
    std::memset(line, 0, sizeof *line);
    line->baud = 9600;
    line->byte_size = 8;
    line->parity = LINE_PARITY_NONE;
    line->stop_bits = LINE_STOP_BITS_ONE;
}

void pull_plug(uint32_t open_refusals) {
    MemoryDevice& d = dev();
    d.unplugged = true;
    d.open_refusals = open_refusals;
    d.unplug_armed = false;
    if (d.open_handle != 0) d.handle_dead = true;
}

bool frame_supported(const LineSettings& s) {
    return s.baud != 0 && s.byte_size >= 5 && s.byte_size <= 8 && s.parity <= LINE_PARITY_SPACE &&
           s.stop_bits <= LINE_STOP_BITS_TWO;
}

void capture(const unsigned char* data, uint32_t count) {
    MemoryDevice& d = dev();
    size_t room = MEMORY_OUTPUT_CAPACITY - d.output_count;
    size_t kept = count < room ? count : room;
    if (kept > 0) std::memcpy(d.output + d.output_count, data, kept);
    d.output_count += kept;
    d.output_lost += count - kept;
}

}  // namespace

void memory_device_reset() {
    std::memset(&device, 0, sizeof device);
    device.ready = true;
    device.next_handle = FIRST_HANDLE;
    power_on_line(&device.line);
}

bool memory_device_send(const void* data, size_t count) {
    MemoryDevice& d = dev();
    if (count > MEMORY_INPUT_CAPACITY - (d.input_tail - d.input_head)) return false;
    if (count > MEMORY_INPUT_CAPACITY - d.input_tail) {
        std::memmove(d.input, d.input + d.input_head, d.input_tail - d.input_head);
        d.input_tail -= d.input_head;
        d.input_head = 0;
    }
    if (count > 0) std::memcpy(d.input + d.input_tail, data, count);
    d.input_tail += count;
    return true;
}

size_t memory_device_input_waiting() { return dev().input_tail - dev().input_head; }
size_t memory_device_bytes_read() { return dev().read_total; }

void memory_device_fail(MemoryFault fault, uint32_t skip, uint32_t times) {
    if (fault < 0 || fault >= FAULT_KIND_COUNT) return;
    dev().faults[fault] = FaultWindow{skip, times};
}

void memory_device_unplug(uint32_t after_reads, uint32_t open_refusals) {
    MemoryDevice& d = dev();
    if (after_reads == 0) {
        pull_plug(open_refusals);
        return;
    }
    d.unplug_armed = true;
    d.unplug_at_read = d.read_total + after_reads;
    d.unplug_refusals = open_refusals;
}

bool memory_device_present() { return !dev().unplugged; }

const unsigned char* memory_device_output(size_t* count) {
    *count = dev().output_count;
    return device.output;
}

size_t memory_device_output_lost() { return dev().output_lost; }

void memory_device_clear_output() {
    dev().output_count = 0;
    device.output_lost = 0;
}

void memory_device_stall_writes(uint32_t slices) { dev().stall_slices = slices; }

void memory_device_hold_output(uint32_t bytes) { dev().held_output = bytes; }

uint32_t memory_device_discards() { return dev().discards; }

void memory_device_watch_writes(MemoryWriteWatch watch) { dev().watch = watch; }

const LineSettings* memory_device_line() { return &dev().line; }

MemoryDeviceCounts memory_device_counts() { return dev().counts; }

// The device interface.

void device_default_path(int port, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (port < 0) return;
    std::snprintf(out, size, "memory%d", port);
}

DeviceError device_open(const char* path, DeviceHandle* handle) {
    MemoryDevice& d = dev();
    *handle = INVALID_DEVICE;
    if (path == nullptr || path[0] == '\0') return ENOENT;
    if (d.unplugged && d.open_refusals > 0) {
        --d.open_refusals;
        return ENOENT;
    }
    if (d.unplugged) {
        d.unplugged = false;
        power_on_line(&d.line);  // plugged in again: the settings are the device's own
    }
    // held exclusively by the open handle
    if (d.open_handle != 0 && !d.handle_dead) return EBUSY;
    if (injected(FAULT_OPEN)) return EIO;
    d.open_handle = d.next_handle++;
    d.handle_dead = false;
    ++d.counts.opens;
    *handle = d.open_handle;
    return 0;
}

DeviceError device_close(DeviceHandle handle) {
    MemoryDevice& d = dev();
    if (handle == INVALID_DEVICE) return EBADF;
    if (handle == 0 || handle != d.open_handle) {
        ++d.counts.misuses;
        return EBADF;
    }
    d.open_handle = 0;
    d.handle_dead = false;
    ++d.counts.closes;
    return 0;
}

DeviceError device_read_settings(DeviceHandle handle, LineSettings* settings) {
    if (const DeviceError error = usable(handle)) return error;
    if (settings == nullptr) return EINVAL;
    if (injected(FAULT_READ_SETTINGS)) return EIO;
    *settings = device.line;
    return 0;
}

DeviceError device_apply_settings(DeviceHandle handle, const LineSettings* settings) {
    if (const DeviceError error = usable(handle)) return error;
    if (settings == nullptr || !frame_supported(*settings)) return EINVAL;
    if (injected(FAULT_APPLY_SETTINGS)) return EIO;
    device.line = *settings;
    return 0;
}

bool device_is_named(DeviceHandle, const char*) { return !dev().unplugged; }

DeviceError device_has_modem_lines(DeviceHandle handle) {
    if (const DeviceError error = usable(handle)) return error;
    return injected(FAULT_MODEM_LINES) ? ENOTTY : 0;
}

DeviceError device_set_modem_line(DeviceHandle handle, ModemLine line, bool on) {
    if (const DeviceError error = usable(handle)) return error;
    if (injected(FAULT_MODEM_LINES)) return ENOTTY;
    MemoryDevice& d = dev();
    if (d.line_change_count < MEMORY_LINE_CHANGES_MAX) {
        d.line_changes[d.line_change_count++] = MemoryLineChange{line, on, d.output_count + d.output_lost, clock_tick_ms()};
    }
    return 0;
}

const MemoryLineChange* memory_device_line_changes(int* count) {
    *count = dev().line_change_count;
    return dev().line_changes;
}

DeviceError device_health(DeviceHandle handle) {
    if (const DeviceError error = usable(handle)) return error;
    return injected(FAULT_READ_SETTINGS) ? EIO : 0;
}

// A stalled write asks its watch after every slice, as a real one does.
DeviceError stall_passes(const WriteWatch* watch) {
    MemoryDevice& d = dev();
    for (uint32_t slice = 1; d.stall_slices > 0; ++slice) {
        --d.stall_slices;
        if (watch != nullptr && !watch->keep_waiting(watch->context, slice * WRITE_WATCH_SLICE_MS)) {
            d.stall_slices = 0;
            return ECANCELED;
        }
    }
    return 0;
}

DeviceError device_write(DeviceHandle handle, const void* data, uint32_t count, const WriteWatch* watch) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    DeviceError error = usable(handle);
    if (error == 0) error = stall_passes(watch);
    if (error == 0 && injected(FAULT_WRITE)) error = EIO;
    if (error == 0) capture(bytes, count);
    if (device.watch != nullptr) device.watch(bytes, count, error == 0);
    return error;
}

DeviceError device_read_available(DeviceHandle handle, void* buffer, uint32_t size, uint32_t* got) {
    *got = 0;
    if (const DeviceError error = usable(handle)) return error;
    if (injected(FAULT_QUEUE_STATUS)) return EIO;
    MemoryDevice& d = device;
    // One byte per read, as from a slow line: fwld takes each before it
    // asks for the next, so an unplug armed for a read count comes right
    // after fwld has handled that many bytes.
    if (size == 0 || d.input_head == d.input_tail) return 0;
    static_cast<unsigned char*>(buffer)[0] = d.input[d.input_head++];
    *got = 1;
    if (d.input_head == d.input_tail) d.input_head = d.input_tail = 0;
    ++d.read_total;
    if (d.unplug_armed && d.read_total >= d.unplug_at_read) pull_plug(d.unplug_refusals);
    return 0;
}

DeviceError device_queue_status(DeviceHandle handle, uint32_t* in_queue, uint32_t* out_queue) {
    if (const DeviceError error = usable(handle)) return error;
    if (injected(FAULT_QUEUE_STATUS)) return EIO;
    const size_t waiting = device.input_tail - device.input_head;
    *in_queue = waiting > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(waiting);
    *out_queue = device.held_output;  // every other write has left at once
    return 0;
}

WaitResult device_wait_input(DeviceHandle handle, const WakeSet&, uint32_t) {
    // Nothing blocks here: the memory idle wait lets the test clock move.
    return usable(handle) == 0 && device.input_head != device.input_tail ? WAIT_DEVICE : WAIT_TIMED_OUT;
}

void device_discard_output(DeviceHandle handle) {
    if (usable(handle) != 0) return;
    ++device.discards;
    device.held_output = 0;
}

void device_describe_hold(DeviceHandle, char* out, size_t size) { std::snprintf(out, size, "the memory line is held"); }

void device_describe_flow(DeviceHandle, char* out, size_t size) { std::snprintf(out, size, "none"); }
