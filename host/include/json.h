// JSON at the edges (the result record, the event stream, fwld-gang's
// files) through nlohmann-json, with the member order kept as written. The
// helpers here make a value from what the run holds without a throw: text
// of any bytes, seconds from milliseconds, the UTC time.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

// Text as JSON keeps it: valid UTF-8 as it is, any other byte as the
// character of its value (U+0080 to U+00FF), so no byte is lost and the
// dump never fails on it. nullptr gives null.
Json json_text(const char* text);
Json json_text(const char* bytes, size_t length);
// Milliseconds as seconds (three decimals at most).
Json json_seconds(uint64_t ms);
// "2026-12-08T05:55:48Z".
Json json_utc_time(int64_t unix_seconds);
// The value on one line, compact, with its line feed.
std::string json_line(const Json& value);
