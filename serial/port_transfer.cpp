// Byte transfer and queue status over an opened port slot. Failures are
// silent by design: the callers poll, and the next health test re-opens.
#include <cstdio>
#include <cstring>

#include "port.h"
#include "trace.h"

namespace {

DeviceHandle handle_of(int port) {
    const PortSlot* slot = port_slot(port);
    return slot != nullptr ? slot->handle : INVALID_DEVICE;
}

void trace_write(const void* data, uint32_t count, bool ok) {
    if (ok) {
        trace_bytes(TRACE_SENT, data, count);
    } else if (trace_active()) {
        char line[64];
        std::snprintf(line, sizeof line, "write of %lu bytes failed (error %ld)", static_cast<unsigned long>(count),
                      device_last_error());
        trace_event(line);
    }
}

}  // namespace

int port_write(int port, const void* data, uint32_t count) {
    const bool ok = device_write(handle_of(port), data, count);
    trace_write(data, count, ok);
    return ok ? 1 : 0;
}

int port_write_byte(int port, int byte) {
    const unsigned char low = static_cast<unsigned char>(byte & 0xFF);
    return port_write(port, &low, 1);
}

int port_write_string(int port, const char* text) {
    return port_write(port, text, static_cast<uint32_t>(std::strlen(text)));
}

char port_read_byte(int port) {
    unsigned char byte = 0;
    if (!device_read_byte(handle_of(port), &byte)) return 0;
    trace_bytes(TRACE_RECEIVED, &byte, 1);
    return static_cast<char>(byte);
}

uint32_t port_input_count(int port) {
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    if (!device_queue_status(handle_of(port), &in_queue, &out_queue)) in_queue = 0;
    // Nothing to read: whatever came in together has been seen.
    if (in_queue == 0) trace_idle();
    return in_queue;
}

int port_output_drained(int port) {
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    // A queue whose status cannot be read counts as drained, so nobody waits
    // on a dead port.
    if (!device_queue_status(handle_of(port), &in_queue, &out_queue)) return 1;
    if (out_queue != 0) return 0;
    trace_idle();
    return 1;
}

int port_write_byte(int byte) { return port_write_byte(1, byte); }
int port_write_string(const char* text) { return port_write_string(1, text); }
int port_write(const void* data, uint32_t count) { return port_write(1, data, count); }
char port_read_byte() { return port_read_byte(1); }
uint32_t port_input_count() { return port_input_count(1); }
int port_output_drained() { return port_output_drained(1); }
