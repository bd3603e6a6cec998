// One line of JSON (an object and a line feed) built in the caller's buffer,
// for the result log, the event stream and fwld-gang's own files. Every
// function is async-signal-safe: the line may be finished from a signal
// handler. Nothing is ever written past the buffer; room for the closing
// brackets and the line feed is kept back from the start, so the line stays
// valid JSON when it runs out: a string that does not fit is cut at a
// character boundary, anything else that does not fit is left out, and
// overflow tells the caller.
//
// Strings are bytes: valid UTF-8 passes through unchanged; quotes and
// backslashes are escaped, and control bytes and every byte that is not part
// of a valid UTF-8 sequence become \u00XX with that byte's value.
//
// A member's name is used inside an object; inside an array it is ignored
// (pass nullptr).
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int JSON_DEPTH_MAX = 8;  // the outer object included

struct JsonLine {
    char* out;
    size_t size;
    size_t length;
    int depth;        // open objects and arrays
    int skipped;      // opened inside a level that had no room: dropped whole
    uint32_t arrays;  // bit d: level d is an array
    uint32_t filled;  // bit d: level d has a member, the next one needs a comma
    bool overflow;    // something was cut or left out
};

// Opens the outer object.
void json_line_begin(JsonLine* line, char* buffer, size_t size);
// Closes whatever is open and adds the line feed. The line's length, 0 when
// the buffer cannot hold even "{}\n".
size_t json_line_end(JsonLine* line);

void json_object_begin(JsonLine* line, const char* name);
void json_object_end(JsonLine* line);
void json_array_begin(JsonLine* line, const char* name);
void json_array_end(JsonLine* line);

// nullptr text writes null.
void json_string(JsonLine* line, const char* name, const char* text);
void json_string_bytes(JsonLine* line, const char* name, const char* bytes, size_t length);
void json_unsigned(JsonLine* line, const char* name, uint64_t value);
void json_signed(JsonLine* line, const char* name, int64_t value);
// Milliseconds as seconds with three decimals: 12345 gives 12.345.
void json_seconds(JsonLine* line, const char* name, uint64_t ms);
void json_null(JsonLine* line, const char* name);
// Seconds since 1970 as an ISO 8601 UTC string: "2024-02-29T13:05:09Z".
void json_utc_time(JsonLine* line, const char* name, int64_t unix_seconds);
