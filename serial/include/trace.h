// Traffic trace: every byte sent and received on the serial line, one line
// per burst, and a line for each open, re-open, configure and close of the
// port, appended to a text file. Off unless started; each call then costs a
// test of one variable.
#pragma once
#include <cstdint>

enum TraceDirection : uint8_t { TRACE_SENT, TRACE_RECEIVED };

// Starts appending to the file, with times from now_ms (a millisecond tick
// that may wrap). False when the file does not open; errno tells why and
// the trace stays off.
bool trace_start(const char* path, uint32_t (*now_ms)());
bool trace_active();
// Writes everything out and closes the file; also the restore step for
// every way out of the process.
void trace_stop();

void trace_bytes(TraceDirection direction, const void* data, uint32_t count);
// One line about the port, such as "open /dev/ttyUSB0".
void trace_event(const char* text);
// Nothing is waiting to be read: the current burst is over.
void trace_idle();
