// JSON line builder. Formatting by hand: a signal handler may finish the
// line, where printf, malloc and the locale are not safe.
#include "json_line.h"

#include "text.h"

namespace {

constexpr size_t UNIT_MAX = 6;                        // \u00XX
constexpr int64_t LAST_SECOND_OF_9999 = 253402300799;  // 9999-12-31T23:59:59Z

bool accepts_members(const JsonLine* line) { return line->depth > 0 && line->skipped == 0; }
uint32_t level_bit(const JsonLine* line) { return 1u << (line->depth - 1); }
bool in_array(const JsonLine* line) { return (line->arrays & level_bit(line)) != 0; }

// The length a member may reach while room stays for the closing brackets
// of every open level, the line feed and `extra` bytes more.
size_t limit(const JsonLine* line, size_t extra) {
    const size_t keep = static_cast<size_t>(line->depth) + 1 + extra;
    return line->size > keep ? line->size - keep : 0;
}

bool put(JsonLine* line, const char* bytes, size_t count, size_t end) {
    if (line->length > end || count > end - line->length) return false;
    for (size_t i = 0; i < count; ++i) line->out[line->length + i] = bytes[i];
    line->length += count;
    return true;
}

bool put_char(JsonLine* line, char c, size_t end) { return put(line, &c, 1, end); }

// Length of the valid UTF-8 sequence that starts text, 0 when none does:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t utf8_sequence(const unsigned char* text, size_t left) {
    const unsigned char lead = text[0];
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    size_t count = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < count || text[1] < low || text[1] > high) return 0;
    for (size_t i = 2; i < count; ++i) {
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    }
    return count;
}

// The JSON form of the character that starts text, in unit; answers its
// length and sets how many bytes of text it stands for.
size_t escape_unit(const unsigned char* text, size_t left, char* unit, size_t* taken) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char byte = text[0];
    *taken = 1;
    if (byte == '"' || byte == '\\') {
        unit[0] = '\\';
        unit[1] = static_cast<char>(byte);
        return 2;
    }
    if (byte >= 0x20 && byte < 0x7F) {
        unit[0] = static_cast<char>(byte);
        return 1;
    }
    const size_t sequence = byte < 0x80 ? 0 : utf8_sequence(text, left);
    if (sequence > 0) {
        for (size_t i = 0; i < sequence; ++i) unit[i] = static_cast<char>(text[i]);
        *taken = sequence;
        return sequence;
    }
    // Control bytes, and bytes that are not UTF-8, as the code point of the
    // same value.
    const char escaped[UNIT_MAX] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
    for (size_t i = 0; i < UNIT_MAX; ++i) unit[i] = escaped[i];
    return UNIT_MAX;
}

// The escaped text, whole or up to the last character that fits when may_cut.
bool put_escaped(JsonLine* line, const char* text, size_t length, size_t end, bool may_cut) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t done = 0;
    while (done < length) {
        char unit[UNIT_MAX];
        size_t taken = 0;
        const size_t size = escape_unit(bytes + done, length - done, unit, &taken);
        if (!put(line, unit, size, end)) {
            if (!may_cut) return false;
            line->overflow = true;
            return true;
        }
        done += taken;
    }
    return true;
}

size_t text_length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

// The comma before a member and, in an object, its name.
bool put_name(JsonLine* line, const char* name, size_t end) {
    if ((line->filled & level_bit(line)) != 0 && !put_char(line, ',', end)) return false;
    if (in_array(line)) return true;
    if (name == nullptr) name = "";
    return put_char(line, '"', end) && put_escaped(line, name, text_length(name), end, false) &&
           put_char(line, '"', end) && put_char(line, ':', end);
}

void member_done(JsonLine* line) { line->filled |= level_bit(line); }

void member_left_out(JsonLine* line, size_t start) {
    line->length = start;
    line->overflow = true;
}

// A member whose value is already JSON text.
void put_member(JsonLine* line, const char* name, const char* value, size_t length) {
    if (!accepts_members(line)) return;
    const size_t start = line->length;
    const size_t end = limit(line, 0);
    if (put_name(line, name, end) && put(line, value, length, end)) {
        member_done(line);
    } else {
        member_left_out(line, start);
    }
}

// Decimal digits of value, at least `width` of them.
void open_level(JsonLine* line, const char* name, char bracket, bool array) {
    if (line->depth == 0) return;
    if (!accepts_members(line) || line->depth == JSON_DEPTH_MAX) {
        ++line->skipped;
        line->overflow = true;
        return;
    }
    const size_t start = line->length;
    // Room for this level's own closing bracket too.
    if (!put_name(line, name, limit(line, 1)) || !put_char(line, bracket, limit(line, 1))) {
        member_left_out(line, start);
        ++line->skipped;
        return;
    }
    member_done(line);
    ++line->depth;
    const uint32_t bit = level_bit(line);
    line->filled &= ~bit;
    if (array) {
        line->arrays |= bit;
    } else {
        line->arrays &= ~bit;
    }
}

// Room for the closing bracket was kept when the level opened.
void close_level(JsonLine* line) {
    const char bracket = in_array(line) ? ']' : '}';
    line->out[line->length++] = bracket;
    --line->depth;
}

void end_level(JsonLine* line) {
    if (line->skipped > 0) {
        --line->skipped;
        return;
    }
    if (line->depth > 1) close_level(line);  // the outer object closes with the line
}

}  // namespace

void json_line_begin(JsonLine* line, char* buffer, size_t size) {
    *line = JsonLine{buffer, size, 0, 0, 0, 0, 0, false};
    if (size < 3) {  // "{}\n"
        line->overflow = true;
        return;
    }
    buffer[0] = '{';
    line->length = 1;
    line->depth = 1;
}

size_t json_line_end(JsonLine* line) {
    if (line->depth == 0) return line->length;
    line->skipped = 0;
    while (line->depth > 0) close_level(line);
    line->out[line->length++] = '\n';
    return line->length;
}

void json_object_begin(JsonLine* line, const char* name) { open_level(line, name, '{', false); }
void json_object_end(JsonLine* line) { end_level(line); }
void json_array_begin(JsonLine* line, const char* name) { open_level(line, name, '[', true); }
void json_array_end(JsonLine* line) { end_level(line); }

void json_string(JsonLine* line, const char* name, const char* text) {
    if (text == nullptr) {
        json_null(line, name);
        return;
    }
    json_string_bytes(line, name, text, text_length(text));
}

void json_string_bytes(JsonLine* line, const char* name, const char* bytes, size_t length) {
    if (!accepts_members(line)) return;
    const size_t start = line->length;
    // Room for the closing quote while the text goes in.
    const size_t end = limit(line, 1);
    if (!put_name(line, name, end) || !put_char(line, '"', end) || !put_escaped(line, bytes, length, end, true)) {
        member_left_out(line, start);
        return;
    }
    line->out[line->length++] = '"';
    member_done(line);
}

void json_unsigned(JsonLine* line, const char* name, uint64_t value) {
    char digits[20];
    put_member(line, name, digits, format_unsigned(digits, value, 1, '0'));
}

void json_signed(JsonLine* line, const char* name, int64_t value) {
    char text[21];
    size_t n = 0;
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        text[n++] = '-';
        magnitude = 0 - magnitude;  // also right for the most negative value
    }
    n += format_unsigned(text + n, magnitude, 1, '0');
    put_member(line, name, text, n);
}

void json_seconds(JsonLine* line, const char* name, uint64_t ms) {
    char text[24];
    size_t n = format_unsigned(text, ms / 1000, 1, '0');
    text[n++] = '.';
    n += format_unsigned(text + n, ms % 1000, 3, '0');
    put_member(line, name, text, n);
}

void json_null(JsonLine* line, const char* name) { put_member(line, name, "null", 4); }

void json_utc_time(JsonLine* line, const char* name, int64_t unix_seconds) {
    if (unix_seconds < 0) unix_seconds = 0;
    if (unix_seconds > LAST_SECOND_OF_9999) unix_seconds = LAST_SECOND_OF_9999;
    const int64_t days = unix_seconds / 86400;
    const int64_t of_day = unix_seconds % 86400;
    // The civil date of a day count, in 400-year eras starting in March.
    const int64_t shifted = days + 719468;
    const int64_t era = shifted / 146097;
    const int64_t of_era = shifted - era * 146097;
    const int64_t year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    const int64_t of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t month_from_march = (5 * of_year + 2) / 153;
    const int64_t day = of_year - (153 * month_from_march + 2) / 5 + 1;
    const int64_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

    char text[24];
    size_t n = 0;
    text[n++] = '"';
    n += format_unsigned(text + n, static_cast<uint64_t>(year), 4, '0');
    text[n++] = '-';
    n += format_unsigned(text + n, static_cast<uint64_t>(month), 2, '0');
    text[n++] = '-';
    n += format_unsigned(text + n, static_cast<uint64_t>(day), 2, '0');
    text[n++] = 'T';
    n += format_unsigned(text + n, static_cast<uint64_t>(of_day / 3600), 2, '0');
    text[n++] = ':';
    n += format_unsigned(text + n, static_cast<uint64_t>(of_day / 60 % 60), 2, '0');
    text[n++] = ':';
    n += format_unsigned(text + n, static_cast<uint64_t>(of_day % 60), 2, '0');
    text[n++] = 'Z';
    text[n++] = '"';
    put_member(line, name, text, n);
}
