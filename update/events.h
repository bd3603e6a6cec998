// The event stream (option EV): what happens in a run, one JSON object per
// line, written the moment it happens, so that a reader on a pipe follows
// the run live. Every line has "event" and "t" (seconds since the run
// started); the last one, "end", carries the whole result record. Nothing
// here ever holds the run: a reader that lags loses progress lines, and
// one that has gone loses every line.
#pragma once
#include <cstddef>
#include <cstdint>

#include "json.h"
#include "run_record.h"

// Opens the stream. False with the refusal in message when it does not open.
bool events_start(const char* path, uint32_t start_ms, char* message, int size);

void event_stage(RunStage stage, int32_t baud);
// Program bytes sent out of the file's size, and the records; at most ten a
// second. events_progress_flush sends the one held back, if any.
void event_progress(int64_t bytes, int64_t total, uint32_t records);
void events_progress_flush();
void event_speed(int32_t baud);
void event_message(const char* text);
void event_flash_type(const char* name);
void event_notice(const char* text);
void event_reopen(uint32_t count);
// An RS sequence has run: "entry" or "exit", and its steps as given.
void event_lines(const char* sequence, const char* steps);

// The last line: the result record as the end event, the event's own
// members in front of the record's; the stream then closes.
void events_end(const Json& record);
