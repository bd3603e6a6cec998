// A stream of whole lines to one reader that follows a run live (the event
// stream): a file, and on POSIX a FIFO or a pipe (/dev/fd/N), on Windows a
// named pipe (\\.\pipe\NAME). A line is never cut and the run is never held
// for long by the reader: what the reader has not taken yet waits in a
// queue, in order, and goes first; a line that may be dropped (the next one
// says more) is dropped whole while the queue is not empty, as is any line
// the queue has no room for; once the reader has gone every line is dropped.
#pragma once
#include <cstddef>
#include <cstdint>

// Opens the stream for writing; a file is appended to (created if missing).
// -1 when it cannot: event_stream_last_error says why (a FIFO without a
// reader does not open).
intptr_t event_stream_open(const char* path);
long event_stream_last_error();

// Hands one line over. The queue first gets up to wait_ms to go out (an
// ending signal or the break cuts that short); wait_ms 0 marks a line that
// may be dropped.
void event_stream_send(intptr_t stream, const char* line, size_t length, uint32_t wait_ms);
// Waits at most wait_ms for what is queued to go out, then closes.
void event_stream_close(intptr_t stream, uint32_t wait_ms);
