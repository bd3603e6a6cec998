// The helpers of host/json.h.
#include "json.h"

#include <cstring>
#include <ctime>

namespace {

// The length of the valid UTF-8 sequence at `at`, 0 when there is none.
size_t utf8_sequence(const unsigned char* at, size_t left) {
    const unsigned char lead = at[0];
    size_t length = 0;
    uint32_t smallest = 0;
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) length = 2, smallest = 0x80;
    else if ((lead & 0xF0) == 0xE0) length = 3, smallest = 0x800;
    else if ((lead & 0xF8) == 0xF0) length = 4, smallest = 0x10000;
    else return 0;
    if (left < length) return 0;
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((at[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (at[i] & 0x3Fu);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if (code < smallest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

}  // namespace

Json json_text(const char* bytes, size_t length) {
    std::string text;
    text.reserve(length);
    const auto* at = reinterpret_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length;) {
        const size_t valid = utf8_sequence(at + i, length - i);
        if (valid > 0) {
            text.append(bytes + i, valid);
            i += valid;
            continue;
        }
        text += static_cast<char>(0xC0 | (at[i] >> 6));
        text += static_cast<char>(0x80 | (at[i] & 0x3F));
        ++i;
    }
    return Json(std::move(text));
}

Json json_text(const char* text) { return text == nullptr ? Json(nullptr) : json_text(text, std::strlen(text)); }

Json json_seconds(uint64_t ms) { return Json(static_cast<double>(ms) / 1000.0); }

Json json_utc_time(int64_t unix_seconds) {
    const std::time_t when = static_cast<std::time_t>(unix_seconds);
    char text[32] = "";
    if (const std::tm* utc = std::gmtime(&when)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return Json(text);
}

std::string json_line(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"; }
