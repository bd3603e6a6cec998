// Event lines, built like the result log's line (no printf, no heap), each
// handed to the stream in one piece.
#include "events.h"

#include <cstdio>
#include <cstring>

#include "clock.h"
#include "console.h"
#include "event_stream.h"
#include "json_line.h"
#include "system.h"

namespace {

constexpr uint32_t PROGRESS_EVERY_MS = 100;
// How long a line other than progress may wait for a reader that lags.
constexpr uint32_t EVENT_WAIT_MS = 1000;
constexpr size_t EVENT_LINE_SIZE = 1024;

struct Stream {
    intptr_t out;  // -1: no stream
    uint32_t start_ms;
    uint32_t progress_ms;  // when the last progress line went
    bool progress_sent;
    bool progress_held;    // a progress line is owed
    int64_t bytes, total;
    uint32_t records;
};

Stream stream{-1, 0, 0, false, false, 0, 0, 0};
char event_line[EVENT_LINE_SIZE];

// An event's line, from its first members to the stream.
void begin(JsonLine* line, const char* kind) {
    json_line_begin(line, event_line, sizeof event_line);
    json_string(line, "event", kind);
    json_seconds(line, "t", clock_tick_ms() - stream.start_ms);
}

void send(JsonLine* line, uint32_t wait_ms) {
    const size_t length = json_line_end(line);
    if (length > 0) event_stream_send(stream.out, event_line, length, wait_ms);
}

bool on() { return stream.out != -1; }

void send_progress() {
    JsonLine line;
    begin(&line, "progress");
    json_signed(&line, "bytes", stream.bytes);
    json_signed(&line, "total", stream.total);
    json_unsigned(&line, "records", stream.records);
    json_signed(&line, "percent",
                progress_percent(static_cast<int32_t>(stream.total), static_cast<int32_t>(stream.bytes)));
    // Never waited for: the next one says more.
    send(&line, 0);
    stream.progress_ms = clock_tick_ms();
    stream.progress_sent = true;
    stream.progress_held = false;
}

void text_event(const char* kind, const char* member, const char* text) {
    if (!on()) return;
    JsonLine line;
    begin(&line, kind);
    json_string(&line, member, text);
    send(&line, EVENT_WAIT_MS);
}

void number_event(const char* kind, const char* member, int64_t value) {
    if (!on()) return;
    JsonLine line;
    begin(&line, kind);
    json_signed(&line, member, value);
    send(&line, EVENT_WAIT_MS);
}

}  // namespace

bool events_start(const char* path, uint32_t start_ms, char* message, int size) {
    stream = Stream{-1, start_ms, 0, false, false, 0, 0, 0};
    if (path == nullptr) return true;
    stream.out = event_stream_open(path);
    if (stream.out != -1) return true;
    char reason[160];
    system_error_text(event_stream_last_error(), reason, sizeof reason);
    std::snprintf(message, static_cast<size_t>(size),
                  "Event stream \"%s\" can not be opened for writing (%s): a FIFO needs its reader first.", path,
                  reason);
    return false;
}

void event_stage(RunStage stage, int32_t baud) {
    static const char* const names[] = {"power-on", "loader", "erase", "program"};
    if (!on() || stage > STAGE_PROGRAM) return;
    JsonLine line;
    begin(&line, "stage");
    json_string(&line, "stage", names[stage]);
    json_signed(&line, "baud", baud);
    send(&line, EVENT_WAIT_MS);
}

void event_progress(int64_t bytes, int64_t total, uint32_t records) {
    if (!on()) return;
    stream.bytes = bytes;
    stream.total = total;
    stream.records = records;
    stream.progress_held = true;
    if (!stream.progress_sent || clock_tick_ms() - stream.progress_ms >= PROGRESS_EVERY_MS || bytes >= total) {
        send_progress();
    }
}

void events_progress_flush() {
    if (on() && stream.progress_held) send_progress();
}

void event_speed(int32_t baud) { number_event("speed", "baud", baud); }
void event_message(const char* text) { text_event("message", "text", text); }
void event_flash_type(const char* name) { text_event("flash_type", "name", name); }
void event_notice(const char* text) { text_event("notice", "text", text); }
void event_reopen(uint32_t count) { number_event("reopen", "count", count); }

void event_lines(const char* sequence, const char* steps) {
    if (!on()) return;
    JsonLine line;
    begin(&line, "lines");
    json_string(&line, "sequence", sequence);
    json_string(&line, "steps", steps);
    send(&line, EVENT_WAIT_MS);
}

void events_end(char* record, size_t length) {
    if (!on() || length < 2) return;
    // The event's own members, then the record's after its opening brace.
    char head[END_EVENT_ROOM];
    JsonLine line;
    json_line_begin(&line, head, sizeof head);
    json_string(&line, "event", "end");
    json_seconds(&line, "t", clock_tick_ms() - stream.start_ms);
    size_t head_length = json_line_end(&line);  // {"event":"end","t":1.234}\n
    if (head_length < 3 || head_length - 1 > END_EVENT_ROOM) return;
    head_length -= 2;
    if (record[1] != '}') head[head_length++] = ',';
    char* start = record + 1 - head_length;
    std::memcpy(start, head, head_length);
    const size_t total = length - 1 + head_length;
    event_stream_send(stream.out, start, total, EVENT_WAIT_MS);
    event_stream_close(stream.out, EVENT_WAIT_MS);
    stream.out = -1;
}
