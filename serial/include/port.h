// The serial link as the update run sees it: a process-wide table of 32
// numbered port slots, and byte transfer over the slot's device. The slots
// themselves are serial/'s own; everything goes through these functions.
// "Healthy" is the one word for a line that still answers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "device_names.h"
#include "line_codes.h"
#include "line_wait.h"

constexpr int PORT_COUNT = 32;
constexpr int PORT_PATH_MAX = 256;

// How an open or re-open went: the number has no slot, or the device did
// not open or did not answer the settings query (port_open has written the
// system's error code on stderr).
enum PortOpen : uint8_t { PORT_OPENED, PORT_NOT_OPENED, PORT_NO_SLOT };

// Port table (slot management). The rest answer true on success.
PortOpen port_open(int port);
bool port_configure(int port, uint32_t baud, int byte_size, int parity, int stop_bits);
PortOpen port_reopen(int port);
bool port_is_healthy(int port);
bool port_close(int port);
// Whether the slot's device is still the one its handle holds (see
// device_is_named): a failed port whose device is not is a device gone.
bool port_same_device(int port);
// The run drives a modem line itself: set at once, and kept so in the line
// record, so that a later configure or re-open leaves it as set. False, with
// the system's reason, when the device cannot. port_has_modem_lines: the
// device has lines to drive at all.
bool port_set_line(int port, ModemLine line, bool on);
bool port_has_modem_lines(int port);

// The system's code (errno / GetLastError) of the port's last failed call,
// for the caller to tell why; a success leaves it. PORT_NO_SLOT_ERROR for a
// number without a slot, where no device was asked.
constexpr long PORT_NO_SLOT_ERROR = -1;
long port_last_error(int port);

// Names the device of a slot explicitly (a path instead of the port's
// default device). Returns false when the number has no slot or the path is
// too long.
bool port_assign_path(int port, const char* path);
// The device a slot opens: its assigned path or the port's own device; ""
// when the number has no slot or no device.
void port_device_path(int port, char* out, size_t size);

// What the traffic shows of a port's health, so that a polling loop need not
// ask the device on every pass: a byte received, a write taken or a health
// test passed shows it healthy; a failed call, a wait that ended without a
// byte, and every open, re-open and close make the next health test ask
// again. port_is_healthy itself always asks the device.
bool port_known_healthy(int port);
void port_note_healthy(int port);
void port_doubt_health(int port);

// Byte transfer and queue status. Received bytes are taken from the device
// in bursts by port_receive, which the idle waits call when the device has
// something; port_input_count and port_read_byte serve them from there.
uint32_t port_receive(int port);
bool port_write_byte(int port, int byte);
bool port_write_string(int port, const char* text);
bool port_write(int port, const void* data, uint32_t count);
char port_read_byte(int port);
uint32_t port_input_count(int port);
// True when nothing waits to be sent; queued (when given) gets how much does,
// 0 when the status cannot be read.
bool port_output_drained(int port, uint32_t* queued = nullptr);
// Drops what is queued for sending: a line that takes nothing is given up.
void port_discard_output(int port);

// Blocks until the port has received something (port_receive takes it), a
// wake handle is signalled, or ms have passed. A number without a slot
// waits on the wake set alone.
WaitResult port_wait_input(int port, const WakeSet& wake, uint32_t ms);
// From now on a write that makes no progress waits on the device and the
// wake set together, and asks keep_waiting (with the port and how long the
// device has taken nothing) each time that wait ends; false gives the write
// up and it fails. nullptr: writes wait for room as long as it takes.
void port_watch_writes(const WakeSet& wake, bool (*keep_waiting)(int port, uint32_t stalled_ms));
// What may hold a line that takes no bytes, in words.
void port_describe_hold(int port, char* out, size_t size);
