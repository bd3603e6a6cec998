// The serial link as the update run sees it: a process-wide table of 32
// numbered port slots, and byte transfer over the slot's device.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device.h"

constexpr int PORT_COUNT = 32;
constexpr int PORT_PATH_MAX = 256;

struct PortSlot {
    DeviceHandle handle;  // 0: never opened; INVALID_DEVICE: last open failed
    LineSettings settings;
    char path[PORT_PATH_MAX];  // device to open; "" means the port's default
    bool known_alive;     // traffic has shown the device answers; see port_known_alive
};

// Port table (slot management).
int port_open(int port);
int port_configure(int port, uint32_t baud, int byte_size, int parity, int stop_bits);
int port_reopen(int port);
int port_is_healthy(int port);
int port_close(int port);
int port_open();
int port_configure(uint32_t baud, int byte_size, int parity, int stop_bits);
int port_close();

// The fields port_configure owns, set in a line record: the rate, the frame
// (byte size, parity and stop bits take their low 8 bits; parity checking is
// on for any non-zero parity), raw bytes, no XON/XOFF, RTS held off.
void line_settings_overlay(LineSettings* settings, uint32_t baud, int byte_size, int parity, int stop_bits);

// Names the device of a slot explicitly (a path instead of the port's
// default device). Returns false when the number has no slot or the path is
// too long.
bool port_assign_path(int port, const char* path);
// The device a slot opens: its assigned path or the port's own device; ""
// when the number has no slot or no device.
void port_device_path(int port, char* out, size_t size);
// Read access for the idle wait and for tests.
const PortSlot* port_slot(int port);

// What the traffic shows of a port's health, so that a polling loop need not
// ask the device on every pass: a byte received, a write taken or a health
// test passed shows it alive; a failed call, a wait that ended without a
// byte, and every open, re-open and close make the next health test ask
// again. port_is_healthy itself always asks the device.
bool port_known_alive(int port);
void port_note_alive(int port);
void port_note_quiet(int port);

// Byte transfer and queue status. Received bytes are taken from the device
// in bursts by port_receive, which the idle waits call when the device has
// something; port_input_count and port_read_byte serve them from there.
uint32_t port_receive(int port);
int port_write_byte(int port, int byte);
int port_write_string(int port, const char* text);
int port_write(int port, const void* data, uint32_t count);
char port_read_byte(int port);
uint32_t port_input_count(int port);
int port_output_drained(int port);
// Bytes queued for sending and not yet sent; 0 when the status cannot be read.
uint32_t port_output_queued(int port);
// Drops what is queued for sending: a line that takes nothing is given up.
void port_discard_output(int port);

// Blocks until the port has received something (port_receive takes it), a
// wake handle is signalled, or ms have passed.
WaitResult port_wait_input(int port, const WakeSet& wake, uint32_t ms);
// From now on a write that makes no progress waits on the device and the
// wake set together, and asks keep_waiting (with the port and how long the
// device has taken nothing) each time that wait ends; false gives the write
// up and it fails. nullptr: writes wait for room as long as it takes.
void port_watch_writes(const WakeSet& wake, bool (*keep_waiting)(int port, uint32_t stalled_ms));
// What may hold a line that takes no bytes, in words.
void port_describe_hold(int port, char* out, size_t size);
int port_write_byte(int byte);
int port_write_string(const char* text);
int port_write(const void* data, uint32_t count);
char port_read_byte();
uint32_t port_input_count();
int port_output_drained();
