// The in-memory serial device: a scripted peer for fuzzers and for tests that
// need one without a pty. A binary links device_memory.cpp in place of the
// platform's device file; this header is the script's side of it.
//
// There is one device, whatever path is opened. Bytes the peer sends wait in
// the receive queue until fwld reads them; everything fwld writes is kept;
// faults are injected by kind and by position.
#pragma once
#include <cstddef>
#include <cstdint>

#include "line_settings.h"

enum MemoryFault : int {
    FAULT_OPEN,           // the device does not open
    FAULT_READ_SETTINGS,  // the settings query fails (also the health test)
    FAULT_APPLY_SETTINGS, // the device refuses a configuration
    FAULT_WRITE,          // a write fails; nothing of it is sent
    FAULT_QUEUE_STATUS,   // the queue status cannot be read
    FAULT_MODEM_LINES,    // the device has no modem lines (as a pty)
    FAULT_KIND_COUNT
};

constexpr size_t MEMORY_INPUT_CAPACITY = 64 * 1024;
constexpr size_t MEMORY_OUTPUT_CAPACITY = 64 * 1024;

// Present, closed, nothing queued or captured, no faults, 9600 8N1.
void memory_device_reset();

// Queues bytes as if the peer had sent them. False (nothing queued) when
// they do not fit.
bool memory_device_send(const void* data, size_t count);
// Received bytes fwld has not read yet.
size_t memory_device_input_waiting();
// Bytes fwld has read so far.
size_t memory_device_bytes_read();

// The calls of this kind after the next `skip` fail, `times` of them.
void memory_device_fail(MemoryFault fault, uint32_t skip, uint32_t times);

// The next write takes nothing for `slices` of WRITE_WATCH_SLICE_MS, asking
// the write's watch after each, then goes through (0: no stall). A watch that
// gives the write up ends the stall; nothing of that write is sent.
void memory_device_stall_writes(uint32_t slices);
// The transmit queue reports this many bytes that never leave, until
// device_discard_output drops them (0: every write leaves at once).
void memory_device_hold_output(uint32_t bytes);
// How often device_discard_output was called on the open handle.
uint32_t memory_device_discards();

// The line goes away like an unplugged adapter once `after_reads` more bytes
// have been read (0: now): the open handle is dead for good, and the next
// `open_refusals` opens fail before the device is back, with its power-on
// line settings (9600 8N1). Queued input stays.
void memory_device_unplug(uint32_t after_reads, uint32_t open_refusals);
bool memory_device_present();

// Everything fwld wrote and the device took, in order (at most the capacity;
// memory_device_output_lost tells how much did not fit).
const unsigned char* memory_device_output(size_t* count);
size_t memory_device_output_lost();
void memory_device_clear_output();

// Called for every write as it is made, refused ones included (taken false).
using MemoryWriteWatch = void (*)(const unsigned char* data, uint32_t count, bool taken);
void memory_device_watch_writes(MemoryWriteWatch watch);

// The line record the device runs with (the last one it accepted).
const LineSettings* memory_device_line();

// A modem line fwld set, with how much it had written and the tick then.
struct MemoryLineChange {
    ModemLine line;
    bool on;
    size_t written_before;
    uint32_t tick_ms;
};
constexpr int MEMORY_LINE_CHANGES_MAX = 64;
const MemoryLineChange* memory_device_line_changes(int* count);

struct MemoryDeviceCounts {
    uint32_t opens;     // successful opens
    uint32_t closes;    // closes of an open or dead handle
    uint32_t misuses;   // calls on a handle fwld had closed or replaced, or one never issued
};
MemoryDeviceCounts memory_device_counts();
