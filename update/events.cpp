// Event lines, each a JSON object handed to the stream in one piece.
#include "events.h"

#include <cstdio>

#include "clock.h"
#include "console.h"
#include "event_stream.h"
#include "json.h"
#include "record_fields.h"
#include "system.h"

namespace {

constexpr uint32_t PROGRESS_EVERY_MS = 100;
// How long a line other than progress may wait for a reader that lags.
constexpr uint32_t EVENT_WAIT_MS = 1000;

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

bool on() { return stream.out != -1; }

// An event's first members: its kind and its time.
Json event_of(const char* kind) {
    Json event;
    event[event_field::event] = kind;
    event[event_field::t] = json_seconds(clock_tick_ms() - stream.start_ms);
    return event;
}

void send(const Json& event, uint32_t wait_ms) {
    const std::string line = json_line(event);
    event_stream_send(stream.out, line.data(), line.size(), wait_ms);
}

void send_progress() {
    Json event = event_of(event_kind::progress);
    event[event_field::bytes] = stream.bytes;
    event[event_field::total] = stream.total;
    event[event_field::records] = stream.records;
    event[event_field::percent] =
        progress_percent(static_cast<int32_t>(stream.total), static_cast<int32_t>(stream.bytes));
    // Never waited for: the next one says more.
    send(event, 0);
    stream.progress_ms = clock_tick_ms();
    stream.progress_sent = true;
    stream.progress_held = false;
}

void text_event(const char* kind, const char* member, const char* text) {
    if (!on()) return;
    Json event = event_of(kind);
    event[member] = json_text(text);
    send(event, EVENT_WAIT_MS);
}

void number_event(const char* kind, const char* member, int64_t value) {
    if (!on()) return;
    Json event = event_of(kind);
    event[member] = value;
    send(event, EVENT_WAIT_MS);
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
    if (!on() || stage > STAGE_PROGRAM) return;
    Json event = event_of(event_kind::stage);
    event[event_field::stage] = stage_text(stage);
    event[event_field::baud] = baud;
    send(event, EVENT_WAIT_MS);
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

void event_speed(int32_t baud) { number_event(event_kind::speed, event_field::baud, baud); }
void event_message(const char* text) { text_event(event_kind::message, event_field::text, text); }
void event_flash_type(const char* name) { text_event(event_kind::flash_type, event_field::name, name); }
void event_notice(const char* text) { text_event(event_kind::notice, event_field::text, text); }
void event_reopen(uint32_t count) { number_event(event_kind::reopen, event_field::count, count); }

void event_lines(const char* sequence, const char* steps) {
    if (!on()) return;
    Json event = event_of(event_kind::lines);
    event[event_field::sequence] = sequence;
    event[event_field::steps] = json_text(steps);
    send(event, EVENT_WAIT_MS);
}

void events_end(const Json& record) {
    if (!on()) return;
    // The event's own members, then the record's.
    Json event = event_of(event_kind::end);
    for (const auto& [name, value] : record.items()) event[name] = value;
    send(event, EVENT_WAIT_MS);
    event_stream_close(stream.out, EVENT_WAIT_MS);
    stream.out = -1;
}
