// Traffic trace. Lines collect in a static buffer that goes to the file in
// large writes: when it is half full, at least every FLUSH_INTERVAL_MS while
// the line is idle, after a port event, and at the end, whatever ended the
// run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "result_file.h"
#include "text.h"
#include "trace.h"

namespace {

// A whole program record (up to 128 bytes) fits on one line.
constexpr uint32_t LINE_BYTES = 128;
// Time, tag, hex and text of a full line, with room to spare.
constexpr size_t TRACE_LINE_MAX = 32 + LINE_BYTES * 4 + 8;
constexpr size_t BUFFER_SIZE = 64 * 1024;
constexpr size_t FLUSH_AT = BUFFER_SIZE / 2;
constexpr uint32_t FLUSH_INTERVAL_MS = 200;

struct Burst {
    TraceDirection direction;
    uint32_t start_ms;
    uint8_t bytes[LINE_BYTES];
};

intptr_t trace_file = -1;
uint32_t (*trace_clock)() = nullptr;
uint32_t trace_zero_ms = 0;
uint32_t last_flush_ms = 0;
char buffer[BUFFER_SIZE];
Burst burst;

// The lines in buffer, and the bytes of the burst not yet a line.
size_t lines_in_buffer = 0;
uint32_t bytes_in_burst = 0;

size_t lines_used() { return lines_in_buffer; }
uint32_t burst_count() { return bytes_in_burst; }
void set_state(size_t lines, uint32_t bytes) {
    lines_in_buffer = lines;
    bytes_in_burst = bytes;
}

uint32_t elapsed_ms() { return trace_clock() - trace_zero_ms; }

// Formatting by hand: a line of bytes is the trace's busiest path.
size_t put_text(char* out, const char* text) {
    size_t n = 0;
    while (text[n] != '\0') {
        out[n] = text[n];
        ++n;
    }
    return n;
}

// Right-aligned in 9 columns, like "%9lu".
size_t put_time(char* out, uint32_t ms) { return format_unsigned(out, ms, 9, ' '); }

// "   123456 tx 53 03 61 62 63  |S.abc|\n"
size_t format_bytes_line(char* out, TraceDirection direction, uint32_t ms, const uint8_t* bytes, uint32_t count) {
    size_t n = put_time(out, ms);
    n += put_text(out + n, direction == TRACE_SENT ? " tx" : " rx");
    for (uint32_t i = 0; i < count; ++i) {
        out[n++] = ' ';
        out[n++] = hex_digit(bytes[i] >> 4);
        out[n++] = hex_digit(bytes[i]);
    }
    n += put_text(out + n, "  |");
    for (uint32_t i = 0; i < count; ++i) {
        const bool printable = bytes[i] >= 0x20 && bytes[i] < 0x7F;
        out[n++] = printable ? static_cast<char>(bytes[i]) : '.';
    }
    n += put_text(out + n, "|\n");
    return n;
}

// A full disk: the trace loses lines, the update goes on.
void write_all(const char* data, size_t size) {
    if (size > 0) result_file_append(trace_file, data, size);
}

void flush_lines() {
    write_all(buffer, lines_used());
    set_state(0, burst_count());
    last_flush_ms = elapsed_ms();
}

// Room for one more line; the caller then formats into buffer + lines_used().
char* line_space() {
    if (lines_used() + TRACE_LINE_MAX > BUFFER_SIZE) flush_lines();
    return buffer + lines_used();
}

void end_burst() {
    const uint32_t count = burst_count();
    if (count == 0) return;
    char* out = line_space();
    const size_t length = format_bytes_line(out, burst.direction, burst.start_ms, burst.bytes, count);
    set_state(lines_used() + length, 0);
}

void add_byte(TraceDirection direction, uint8_t byte) {
    uint32_t count = burst_count();
    if (count != 0 && (direction != burst.direction || count == LINE_BYTES)) {
        end_burst();
        count = 0;
    }
    if (count == 0) {
        burst.direction = direction;
        burst.start_ms = elapsed_ms();
    }
    burst.bytes[count] = byte;
    set_state(lines_used(), count + 1);
}

void flush_if_due() {
    if (lines_used() >= FLUSH_AT || (lines_used() != 0 && elapsed_ms() - last_flush_ms >= FLUSH_INTERVAL_MS)) {
        flush_lines();
    }
}

void write_header() {
    char started[64] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now)) std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S", local);
    char* out = line_space();
    const int length = std::snprintf(out, TRACE_LINE_MAX,
                                     "# fwld traffic trace, started %s. Milliseconds since then; "
                                     "tx: sent to the target, rx: received from it.\n",
                                     started);
    if (length > 0) set_state(lines_used() + static_cast<size_t>(length), 0);
}

}  // namespace

bool trace_start(const char* path, uint32_t (*now_ms)()) {
    if (trace_file >= 0) trace_stop();
    const intptr_t file = result_file_open(path);
    if (file < 0) return false;
    trace_clock = now_ms;
    trace_zero_ms = now_ms();
    last_flush_ms = 0;
    set_state(0, 0);
    trace_file = file;
    write_header();
    return true;
}

bool trace_active() { return trace_file >= 0; }

void trace_stop() {
    if (trace_file < 0) return;
    end_burst();
    flush_lines();
    result_file_close(trace_file);
    trace_file = -1;
}


void trace_bytes(TraceDirection direction, const void* data, uint32_t count) {
    if (trace_file < 0) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (uint32_t i = 0; i < count; ++i) add_byte(direction, bytes[i]);
}

void trace_event(const char* text) {
    if (trace_file < 0) return;
    end_burst();
    char* out = line_space();
    size_t n = put_time(out, elapsed_ms());
    n += put_text(out + n, " -- ");
    // Keep it one printable line, whatever the text holds.
    for (size_t i = 0; text[i] != '\0' && n < TRACE_LINE_MAX - 2; ++i) {
        const char c = text[i];
        out[n++] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    out[n++] = '\n';
    set_state(lines_used() + n, 0);
    flush_lines();
}

void trace_idle() {
    if (trace_file < 0) return;
    end_burst();
    flush_if_due();
}
