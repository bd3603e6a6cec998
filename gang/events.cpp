// fwld's event stream, read: one JSON object per line. Every member is
// type-checked before it is read, so a line of any shape is read or passed
// over, never thrown on; the end event's record is kept whole, in its own
// order, for results.jsonl.
#include "record_fields.h"
#include "run.h"

namespace {

const Json* member(const Json& object, const char* name) {
    const auto found = object.find(name);
    return found == object.end() ? nullptr : &*found;
}

// A whole number of at least 0; -1 for anything else.
int64_t whole_of(const Json& object, const char* name) {
    const Json* value = member(object, name);
    if (value == nullptr || !value->is_number_integer()) return -1;
    const int64_t n = value->get<int64_t>();
    return n >= 0 ? n : -1;
}

bool seconds_of(const Json& object, const char* name, double* seconds) {
    const Json* value = member(object, name);
    if (value == nullptr || !value->is_number()) return false;
    *seconds = value->get<double>();
    return *seconds >= 0 && *seconds <= 4.0e6;
}

uint32_t ms_of(double seconds) { return static_cast<uint32_t>(seconds * 1000.0 + 0.5); }

// A text for one line of a table: a line end in a message, the bell, are blanks.
std::string one_line(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    return text;
}

std::string text_of(const Json& object, const char* name) {
    const Json* value = member(object, name);
    return value != nullptr && value->is_string() ? one_line(value->get<std::string>()) : std::string();
}

Stage stage_of(const Json& object, const char* name) {
    const std::string word = text_of(object, name);
    static const Stage stages[] = {STAGE_POWER_ON, STAGE_LOADER, STAGE_ERASE, STAGE_PROGRAM, STAGE_DONE};
    for (Stage s : stages) {
        if (word == stage_word(s)) return s;
    }
    return STAGE_STARTING;
}

RunEventKind kind_of(const std::string& kind) {
    if (kind == event_kind::stage) return RUN_EVENT_STAGE;
    if (kind == event_kind::progress) return RUN_EVENT_PROGRESS;
    if (kind == event_kind::message || kind == event_kind::notice || kind == event_kind::flash_type) {
        return RUN_EVENT_TEXT;
    }
    if (kind == event_kind::end) return RUN_EVENT_END;
    if (kind == event_kind::lines) return RUN_EVENT_LINES;
    return RUN_EVENT_OTHER;
}

void read_result(const Json& end, RunResult* r) {
    *r = RunResult{};
    r->known = true;
    r->stage = stage_of(end, record_field::stage);
    r->outcome = text_of(end, record_field::outcome);
    r->exit_status = whole_of(end, record_field::exit);
    r->message = text_of(end, record_field::message);
    r->bytes_sent = whole_of(end, record_field::bytes_sent);
    r->records_sent = whole_of(end, record_field::records_sent);
    double seconds = 0;
    r->seconds_ms = seconds_of(end, record_field::seconds, &seconds) ? ms_of(seconds) : 0;
    r->board_ms = seconds_of(end, record_field::board_seconds, &seconds) ? ms_of(seconds) : -1;
    r->record = end;
    r->record.erase(event_field::event);
    r->record.erase(event_field::t);
}

}  // namespace

const char* stage_word(Stage stage) {
    switch (stage) {
    case STAGE_STARTING: return nullptr;
    case STAGE_POWER_ON: return stage_name::power_on;
    case STAGE_LOADER: return stage_name::loader;
    case STAGE_ERASE: return stage_name::erase;
    case STAGE_PROGRAM: return stage_name::program;
    case STAGE_DONE: return stage_name::done;
    }
    return nullptr;
}

bool read_run_event(const char* line, size_t length, RunEvent* event) {
    *event = RunEvent{};
    event->kind = RUN_EVENT_OTHER;
    event->percent = -1;
    const Json object = Json::parse(line, line + length, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return false;
    const Json* kind = member(object, event_field::event);
    double t = 0;
    if (kind == nullptr || !kind->is_string() || !seconds_of(object, event_field::t, &t)) return false;
    event->kind = kind_of(kind->get<std::string>());
    event->t_ms = ms_of(t);
    event->stage = stage_of(object, event_field::stage);
    event->bytes = whole_of(object, event_field::bytes);
    event->total = whole_of(object, event_field::total);
    event->records = whole_of(object, event_field::records);
    const int64_t percent = whole_of(object, event_field::percent);
    event->percent = percent > 100 ? 100 : static_cast<int>(percent);
    // A message's or notice's text, a flash type's name, a sequence's.
    event->text = member(object, event_field::text) != nullptr       ? text_of(object, event_field::text)
                  : member(object, event_field::sequence) != nullptr ? text_of(object, event_field::sequence)
                                                                     : text_of(object, event_field::name);
    if (event->kind == RUN_EVENT_END) read_result(object, &event->result);
    return true;
}

size_t event_lines_feed(EventLines* lines, const unsigned char* bytes, size_t count) {
    if (lines->ready) {
        lines->line.clear();
        lines->ready = false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n') {
            lines->ready = !lines->overlong;
            if (lines->overlong) lines->line.clear();
            lines->overlong = false;
            return i + 1;
        }
        if (lines->line.size() < EVENT_LINE_MAX) {
            lines->line.push_back(static_cast<char>(bytes[i]));
        } else {
            lines->overlong = true;
        }
    }
    return count;
}
