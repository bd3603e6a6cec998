// Byte transfer and queue status over an opened port slot. Failures are
// silent by design: the callers poll, and the next health test re-opens.
// Received bytes are taken from the device in bursts, one call for all that
// has arrived, and handed out one by one from a small buffer per port.
#include <cstdio>
#include <cstring>

#include "port_slot.h"
#include "trace.h"

namespace {

constexpr uint32_t RECEIVE_BUFFER_SIZE = 256;

struct ReceiveBuffer {
    unsigned char bytes[RECEIVE_BUFFER_SIZE];
    uint32_t next;  // first byte not handed out yet
    uint32_t end;   // one past the last byte taken from the device
};

ReceiveBuffer receive_buffers[PORT_COUNT];

struct WriteWatching {
    WakeSet wake;
    bool (*keep_waiting)(int port, uint32_t stalled_ms);
    int port;  // of the write being watched
};

WriteWatching watching;

bool keep_waiting_for(void* context, uint32_t stalled_ms) {
    const WriteWatching* w = static_cast<const WriteWatching*>(context);
    return w->keep_waiting(w->port, stalled_ms);
}

ReceiveBuffer* buffer_of(int port) { return port_slot(port) != nullptr ? &receive_buffers[port] : nullptr; }

DeviceHandle handle_of(int port) {
    const PortSlot* slot = port_slot(port);
    return slot != nullptr ? slot->handle : INVALID_DEVICE;
}

uint32_t buffered(const ReceiveBuffer* buffer) { return buffer != nullptr ? buffer->end - buffer->next : 0; }

// Room at the end for the next burst: what is left moves to the front.
void make_room(ReceiveBuffer* buffer) {
    if (buffer->next == 0) return;
    const uint32_t left = buffered(buffer);
    std::memmove(buffer->bytes, buffer->bytes + buffer->next, left);
    buffer->next = 0;
    buffer->end = left;
}

void trace_write(const void* data, uint32_t count, DeviceError error) {
    if (error == 0) {
        trace_bytes(TRACE_SENT, data, count);
    } else if (trace_active()) {
        char line[64];
        std::snprintf(line, sizeof line, "write of %lu bytes failed (error %ld)", static_cast<unsigned long>(count),
                      error);
        trace_event(line);
    }
}

}  // namespace

uint32_t port_receive(int port) {
    ReceiveBuffer* buffer = buffer_of(port);
    if (buffer == nullptr) return 0;
    make_room(buffer);
    if (buffer->end == RECEIVE_BUFFER_SIZE) return buffered(buffer);
    uint32_t got = 0;
    if (port_note_error(port, device_read_available(handle_of(port), buffer->bytes + buffer->end,
                                                    RECEIVE_BUFFER_SIZE - buffer->end, &got)) != 0) {
        port_doubt_health(port);
        return buffered(buffer);
    }
    if (got > 0) {
        trace_bytes(TRACE_RECEIVED, buffer->bytes + buffer->end, got);
        buffer->end += got;
        port_note_healthy(port);
    }
    return buffered(buffer);
}

bool port_write(int port, const void* data, uint32_t count) {
    WriteWatch watch{watching.wake, keep_waiting_for, &watching};
    watching.port = port;
    const WriteWatch* watched = watching.keep_waiting != nullptr ? &watch : nullptr;
    const DeviceError error = port_note_error(port, device_write(handle_of(port), data, count, watched));
    trace_write(data, count, error);
    const bool ok = error == 0;
    if (ok) {
        port_note_healthy(port);
    } else {
        port_doubt_health(port);
    }
    return ok;
}

bool port_write_byte(int port, int byte) {
    const unsigned char low = static_cast<unsigned char>(byte & 0xFF);
    return port_write(port, &low, 1);
}

bool port_write_string(int port, const char* text) {
    return port_write(port, text, static_cast<uint32_t>(std::strlen(text)));
}

char port_read_byte(int port) {
    ReceiveBuffer* buffer = buffer_of(port);
    // The callers read only what the count showed; a read without it still
    // gets what has arrived.
    if (buffered(buffer) == 0 && port_receive(port) == 0) return 0;
    return static_cast<char>(buffer->bytes[buffer->next++]);
}

uint32_t port_input_count(int port) {
    const uint32_t waiting = buffered(buffer_of(port));
    // Nothing to read: whatever came in together has been seen.
    if (waiting == 0) trace_idle();
    return waiting;
}

bool port_output_drained(int port, uint32_t* queued) {
    uint32_t in_queue = 0;
    uint32_t out_queue = 0;
    // A queue whose status cannot be read counts as drained, so nobody waits
    // on a dead port.
    const bool known = port_note_error(port, device_queue_status(handle_of(port), &in_queue, &out_queue)) == 0;
    if (queued != nullptr) *queued = known ? out_queue : 0;
    if (!known) {
        port_doubt_health(port);
        return true;
    }
    if (out_queue != 0) return false;
    trace_idle();
    return true;
}

void port_discard_output(int port) { device_discard_output(handle_of(port)); }

WaitResult port_wait_input(int port, const WakeSet& wake, uint32_t ms) {
    return device_wait_input(handle_of(port), wake, ms);
}

void port_watch_writes(const WakeSet& wake, bool (*keep_waiting)(int port, uint32_t stalled_ms)) {
    watching.wake = wake;
    watching.keep_waiting = keep_waiting;
}

void port_describe_hold(int port, char* out, size_t size) { device_describe_hold(handle_of(port), out, size); }
