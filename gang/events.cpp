// fwld's event stream, read: one JSON object per line. Only the top level
// of an object is taken apart; a member's value is kept as it stands in the
// line (so the result record passes on to results.jsonl unchanged), and
// read as text or a number where fwld-gang needs it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gang.h"

namespace {

struct Span {
    const char* text;
    size_t length;
};

struct Member {
    Span name;  // without its quotes, escapes as they stand
    Span value;
};

// Where a line is taken apart.
struct Cursor {
    const char* at;
    const char* end;
};

void skip_blanks(Cursor* c) {
    while (c->at < c->end && (*c->at == ' ' || *c->at == '\t' || *c->at == '\r')) ++c->at;
}

// Past a string whose opening quote `at` points at; false when it never closes.
bool skip_string(Cursor* c) {
    for (++c->at; c->at < c->end; ++c->at) {
        if (*c->at == '\\') {
            ++c->at;
        } else if (*c->at == '"') {
            ++c->at;
            return true;
        }
    }
    return false;
}

// Past one value: a string, an object or array with all it holds, or a
// number or word.
bool skip_value(Cursor* c) {
    skip_blanks(c);
    if (c->at >= c->end) return false;
    if (*c->at == '"') return skip_string(c);
    if (*c->at == '{' || *c->at == '[') {
        int depth = 0;
        while (c->at < c->end) {
            const char ch = *c->at;
            if (ch == '"') {
                if (!skip_string(c)) return false;
                continue;
            }
            if (ch == '{' || ch == '[') ++depth;
            if (ch == '}' || ch == ']') --depth;
            ++c->at;
            if (depth == 0) return true;
        }
        return false;
    }
    const char* start = c->at;
    while (c->at < c->end && std::strchr(",}] \t\r", *c->at) == nullptr) ++c->at;
    return c->at > start;
}

// The next member of the object the cursor is in ("{" already passed).
// False at its end or at text that is no JSON.
bool next_member(Cursor* c, Member* m, bool* broken) {
    skip_blanks(c);
    if (c->at < c->end && *c->at == ',') ++c->at, skip_blanks(c);
    if (c->at < c->end && *c->at == '}') return false;
    const char* name = c->at;
    if (c->at >= c->end || *c->at != '"' || !skip_string(c)) return !(*broken = true);
    m->name = Span{name + 1, static_cast<size_t>(c->at - name - 2)};
    skip_blanks(c);
    if (c->at >= c->end || *c->at != ':') return !(*broken = true);
    ++c->at;
    skip_blanks(c);
    const char* value = c->at;
    if (!skip_value(c)) return !(*broken = true);
    m->value = Span{value, static_cast<size_t>(c->at - value)};
    return true;
}

bool open_object(const char* line, size_t length, Cursor* c) {
    *c = Cursor{line, line + length};
    skip_blanks(c);
    if (c->at >= c->end || *c->at != '{') return false;
    ++c->at;
    return true;
}

bool named(const Member& m, const char* name) {
    return m.name.length == std::strlen(name) && std::memcmp(m.name.text, name, m.name.length) == 0;
}

unsigned hex_value(const char* p) {
    char digits[5] = {p[0], p[1], p[2], p[3], 0};
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits, &end, 16);
    return end == digits + 4 ? static_cast<unsigned>(value) : 0xfffd;
}

void put_utf8(unsigned code, char* out, size_t size, size_t* n) {
    char bytes[4];
    size_t count = 0;
    if (code < 0x80) {
        bytes[count++] = static_cast<char>(code);
    } else if (code < 0x800) {
        bytes[count++] = static_cast<char>(0xc0 | (code >> 6));
        bytes[count++] = static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        bytes[count++] = static_cast<char>(0xe0 | (code >> 12));
        bytes[count++] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        bytes[count++] = static_cast<char>(0x80 | (code & 0x3f));
    } else {
        bytes[count++] = static_cast<char>(0xf0 | (code >> 18));
        bytes[count++] = static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        bytes[count++] = static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        bytes[count++] = static_cast<char>(0x80 | (code & 0x3f));
    }
    // A character that does not fit whole is left out.
    if (*n + count >= size) return;
    std::memcpy(out + *n, bytes, count);
    *n += count;
}

// A string value as text, escapes undone, cut to fit; a control character
// (a line end in a message, the bell) becomes a blank, for one line of a
// table. Anything but a string gives "".
void text_of(Span v, char* out, size_t size) {
    size_t n = 0;
    out[0] = '\0';
    if (v.length < 2 || v.text[0] != '"') return;
    const char* p = v.text + 1;
    const char* end = v.text + v.length - 1;
    while (p < end && n + 1 < size) {
        unsigned code = static_cast<unsigned char>(*p++);
        if (code == '\\' && p < end) {
            const char escape = *p++;
            switch (escape) {
            case 'n': case 'r': case 't': case 'b': case 'f': code = ' '; break;
            case 'u':
                if (end - p < 4) return;
                code = hex_value(p);
                p += 4;
                if (code >= 0xd800 && code < 0xdc00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const unsigned low = hex_value(p + 2);
                    if (low >= 0xdc00 && low < 0xe000) {
                        code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
                        p += 6;
                    }
                }
                break;
            default: code = static_cast<unsigned char>(escape); break;
            }
            if (code < 0x20 || code == 0x7f) code = ' ';
            put_utf8(code, out, size, &n);
            continue;
        }
        if (code < 0x20) code = ' ';
        out[n++] = static_cast<char>(code);
    }
    out[n] = '\0';
}

bool text_is(Span v, const char* text) {
    char value[32];
    text_of(v, value, sizeof value);
    return std::strcmp(value, text) == 0;
}

// A whole number (fwld writes no fractions but in times); -1 for anything else.
int64_t whole_of(Span v) {
    char digits[24];
    if (v.length == 0 || v.length >= sizeof digits) return -1;
    std::memcpy(digits, v.text, v.length);
    digits[v.length] = '\0';
    char* end = nullptr;
    const long long value = std::strtoll(digits, &end, 10);
    return end == digits + v.length && value >= 0 ? value : -1;
}

// Seconds with up to three decimals as milliseconds; 0 for anything else.
uint32_t ms_of(Span v) {
    char digits[32];
    if (v.length == 0 || v.length >= sizeof digits) return 0;
    std::memcpy(digits, v.text, v.length);
    digits[v.length] = '\0';
    char* end = nullptr;
    const double seconds = std::strtod(digits, &end);
    if (end != digits + v.length || !(seconds >= 0) || seconds > 4.0e6) return 0;
    return static_cast<uint32_t>(seconds * 1000.0 + 0.5);
}

Stage stage_of(Span v) {
    static const Stage stages[] = {STAGE_POWER_ON, STAGE_LOADER, STAGE_ERASE, STAGE_PROGRAM, STAGE_DONE};
    for (Stage s : stages) {
        if (text_is(v, stage_word(s))) return s;
    }
    return STAGE_STARTING;
}

void read_result(const char* line, size_t length, RunResult* r) {
    *r = RunResult{};
    r->known = true;
    r->bytes_sent = -1;
    r->records_sent = -1;
    Cursor c{};
    Member m{};
    bool broken = false;
    if (!open_object(line, length, &c)) return;
    while (next_member(&c, &m, &broken)) {
        if (named(m, "stage")) r->stage = stage_of(m.value);
        if (named(m, "outcome")) text_of(m.value, r->outcome, sizeof r->outcome);
        if (named(m, "exit")) r->exit_status = whole_of(m.value);
        if (named(m, "message")) text_of(m.value, r->message, sizeof r->message);
        if (named(m, "bytes_sent")) r->bytes_sent = whole_of(m.value);
        if (named(m, "records_sent")) r->records_sent = whole_of(m.value);
        if (named(m, "seconds")) r->seconds_ms = ms_of(m.value);
    }
}

RunEventKind kind_of(Span v) {
    if (text_is(v, "stage")) return RUN_EVENT_STAGE;
    if (text_is(v, "progress")) return RUN_EVENT_PROGRESS;
    if (text_is(v, "message") || text_is(v, "notice") || text_is(v, "flash_type")) return RUN_EVENT_TEXT;
    if (text_is(v, "end")) return RUN_EVENT_END;
    return RUN_EVENT_OTHER;
}

}  // namespace

const char* stage_word(Stage stage) {
    switch (stage) {
    case STAGE_STARTING: return nullptr;
    case STAGE_POWER_ON: return "power-on";
    case STAGE_LOADER: return "loader";
    case STAGE_ERASE: return "erase";
    case STAGE_PROGRAM: return "program";
    case STAGE_DONE: return "done";
    }
    return nullptr;
}

bool read_run_event(const char* line, size_t length, RunEvent* event) {
    *event = RunEvent{};
    event->kind = RUN_EVENT_OTHER;
    event->percent = -1;
    Cursor c{};
    Member m{};
    bool broken = false;
    bool has_kind = false, has_time = false;
    if (!open_object(line, length, &c)) return false;
    while (next_member(&c, &m, &broken)) {
        if (named(m, "event")) event->kind = kind_of(m.value), has_kind = true;
        if (named(m, "t")) event->t_ms = ms_of(m.value), has_time = true;
        if (named(m, "stage")) event->stage = stage_of(m.value);
        if (named(m, "bytes")) event->bytes = whole_of(m.value);
        if (named(m, "total")) event->total = whole_of(m.value);
        if (named(m, "records")) event->records = whole_of(m.value);
        if (named(m, "percent")) event->percent = static_cast<int>(whole_of(m.value));
        // A message's or notice's text, a flash type's name.
        if (named(m, "text") || named(m, "name")) text_of(m.value, event->text, sizeof event->text);
    }
    if (broken || !has_kind || !has_time) return false;
    if (event->kind == RUN_EVENT_END) read_result(line, length, &event->result);
    return true;
}

size_t event_lines_feed(EventLines* lines, const unsigned char* bytes, size_t count) {
    if (lines->ready) {
        lines->length = 0;
        lines->ready = false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            lines->ready = !lines->overlong;
            if (lines->overlong) lines->length = 0;
            lines->overlong = false;
            return i + 1;
        }
        if (lines->length < sizeof lines->line) {
            lines->line[lines->length++] = static_cast<char>(bytes[i]);
        } else {
            lines->overlong = true;
        }
    }
    return count;
}

size_t results_line(const char* end_line, size_t length, int board, char* out, size_t size) {
    Cursor c{};
    Member m{};
    bool broken = false;
    if (!open_object(end_line, length, &c)) return 0;
    size_t n = 0;
    const auto put = [&](const char* text, size_t count) {
        if (n + count >= size) return false;
        std::memcpy(out + n, text, count);
        n += count;
        return true;
    };
    if (!put("{", 1)) return 0;
    while (next_member(&c, &m, &broken)) {
        if (named(m, "event") || named(m, "t")) continue;
        if ((n > 1 && !put(",", 1)) || !put(m.name.text - 1, m.name.length + 2) || !put(":", 1) ||
            !put(m.value.text, m.value.length)) {
            return 0;
        }
    }
    char tail[32];
    const int t = std::snprintf(tail, sizeof tail, "%s\"board\":%d}\n", n > 1 ? "," : "", board);
    if (broken || t <= 0 || !put(tail, static_cast<size_t>(t))) return 0;
    return n;
}
