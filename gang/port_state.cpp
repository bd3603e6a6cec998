// One port's state, read from its fwld's console output: the stage lines,
// the progress and erase lines that overwrite themselves with '\r', the
// target's messages, and the message of a fatal stop, which fwld writes
// after a line break of its own.
#include <cstdio>
#include <cstring>

#include "gang.h"

namespace {

// The segment as it reads on a console: control bytes (the bell) left out,
// blanks at the ends trimmed.
void visible_text(const PortState& s, char* out, size_t size) {
    size_t n = 0;
    for (int i = 0; i < s.segment_length && n + 1 < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(s.segment[i]);
        if (c >= 0x20 && c != 0x7f) out[n++] = static_cast<char>(c);
    }
    while (n > 0 && out[n - 1] == ' ') --n;
    out[n] = '\0';
    size_t lead = 0;
    while (out[lead] == ' ') ++lead;
    if (lead > 0) std::memmove(out, out + lead, n - lead + 1);
}

// Messages longer than the line shows are cut.
void copy_text(char (&to)[GANG_MESSAGE_MAX], const char* text) {
    std::snprintf(to, sizeof to, "%.*s", GANG_MESSAGE_MAX - 1, text);
}

bool set_stage(PortState* s, Stage stage) {
    if (s->stage == stage) return false;
    s->stage = stage;
    s->percent = -1;
    return true;
}

// "-042 % completed." of the loader or the program.
bool progress_line(PortState* s, const char* text, uint32_t now) {
    int percent = 0;
    char marker = 0;
    int used = 0;
    if (std::sscanf(text, "%c%3d %% completed.%n", &marker, &percent, &used) != 2 || used == 0) return false;
    bool changed = false;
    if (s->stage == STAGE_ERASE) changed = set_stage(s, STAGE_PROGRAM);
    s->percent = percent;
    if (s->stage != STAGE_PROGRAM) return changed;
    if (s->first_percent < 0) {
        s->first_percent = percent;
        s->first_percent_ms = now;
    }
    if (percent != s->last_percent) {
        s->last_percent = percent;
        s->last_percent_ms = now;
    }
    return changed;
}

// A segment that ended in '\r': the line will be written over.
bool overwritten_segment(PortState* s, uint32_t now) {
    char text[LINE_KEEP + 1];
    visible_text(*s, text, sizeof text);
    long seconds = 0;
    if (std::sscanf(text, "Erase time %ldsec", &seconds) == 1) {
        const bool changed = set_stage(s, STAGE_ERASE);
        s->erase_elapsed = static_cast<int32_t>(seconds);
        return changed;
    }
    return progress_line(s, text, now);
}

bool stage_line(PortState* s, const char* text) {
    if (std::strcmp(text, "TARGET POWER ON.") == 0) return set_stage(s, STAGE_POWER_ON);
    if (std::strcmp(text, "Execute STEP1") == 0) return set_stage(s, STAGE_LOADER);
    if (std::strcmp(text, "Execute STEP2") == 0) return set_stage(s, STAGE_PROGRAM);
    if (std::strcmp(text, "Finish version up.") == 0) s->finished_said = true;
    if (std::strcmp(text, "Interruption.") == 0) s->interruption_said = true;
    return false;
}

// A line that ended in '\n'. A blank one, or one whose last part was
// overwritten, separates: fwld puts its own line break before a fatal stop.
bool whole_line(PortState* s) {
    char text[LINE_KEEP + 1];
    visible_text(*s, text, sizeof text);
    if (text[0] == '\0') {
        s->after_separator = true;
        return false;
    }
    copy_text(s->message, text);
    if (s->after_separator) {
        copy_text(s->stop_message, text);
        s->stop_message_current = true;
        s->after_separator = false;
    }
    return stage_line(s, text);
}

void keep_byte(PortState* s, unsigned char byte) {
    if (s->segment_length < LINE_KEEP) s->segment[s->segment_length++] = static_cast<char>(byte);
}

}  // namespace

const char* stage_name(Stage stage) {
    switch (stage) {
    case STAGE_STARTING: return "starting";
    case STAGE_POWER_ON: return "waiting for power on";
    case STAGE_LOADER: return "loader";
    case STAGE_ERASE: return "erase wait";
    case STAGE_PROGRAM: return "program";
    case STAGE_DONE: return "done";
    case STAGE_FAILED: return "failed";
    case STAGE_STOPPED: return "stopped";
    }
    return "?";
}

void port_state_start(PortState* state, uint32_t now_ms) {
    *state = PortState{};
    state->stage = STAGE_STARTING;
    state->started_ms = now_ms;
    state->percent = -1;
    state->first_percent = -1;
    state->last_percent = -1;
}

size_t port_state_feed(PortState* state, const unsigned char* bytes, size_t count, uint32_t now_ms) {
    bool changed = false;
    for (size_t i = 0; i < count; ++i) {
        if (changed) return i;
        const unsigned char byte = bytes[i];
        if (byte == '\r' || byte == '\n') {
            if (byte == '\r') {
                changed |= overwritten_segment(state, now_ms);
                // Progress after a message: that message did not stop fwld.
                state->stop_message_current = false;
            } else {
                changed |= whole_line(state);
            }
            state->segment_length = 0;
        } else {
            keep_byte(state, byte);
        }
    }
    return count;
}

void port_state_end(PortState* state, ChildEnd end, bool key_sent, uint32_t now_ms) {
    state->ended = true;
    state->ended_ms = now_ms;
    // A stop's message stands only when nothing but line ends came after it.
    const bool stop_message = state->stop_message_current && state->segment_length == 0;
    if (end.kind == END_EXIT && end.code == 0) {
        state->stage = STAGE_DONE;
    } else if (end.kind == END_EXIT && state->interruption_said) {
        state->stage = STAGE_STOPPED;
    } else if (end.kind == END_EXIT && stop_message) {
        state->stage = STAGE_FAILED;
        std::snprintf(state->message, sizeof state->message, "%s", state->stop_message);
    } else if (end.kind == END_EXIT) {
        // A key before the transfer ends fwld without a word.
        const bool by_key = key_sent && end.code == 1;
        state->stage = by_key ? STAGE_STOPPED : STAGE_FAILED;
        if (by_key) {
            std::snprintf(state->message, sizeof state->message, "stopped before the transfer");
        } else {
            std::snprintf(state->message, sizeof state->message, "fwld ended with status %ld", end.code);
        }
    } else {
        state->stage = key_sent && end.kind == END_CTRL_C ? STAGE_STOPPED : STAGE_FAILED;
        if (end.kind == END_CTRL_C) {
            std::snprintf(state->message, sizeof state->message, "fwld ended by Ctrl-C");
        } else {
            std::snprintf(state->message, sizeof state->message, "fwld ended by signal %ld", end.code);
        }
    }
    state->percent = -1;
}

void port_state_not_started(PortState* state, const char* reason, uint32_t now_ms) {
    state->ended = true;
    state->ended_ms = now_ms;
    state->stage = STAGE_FAILED;
    std::snprintf(state->message, sizeof state->message, "%s", reason);
}
