// The station's rules: which run was a board and how it went, the tally of
// each port, when a port starts fwld again, and the summary file.
#include <cstdio>
#include <cstring>

#include "gang.h"

namespace {

// The JSON the station writes itself, into a fixed buffer; `full` once
// something did not fit (the text is then not to be used).
struct JsonOut {
    char* out;
    size_t size;
    size_t n;
    bool full;
};

void put(JsonOut* j, const char* text, size_t count) {
    if (j->full || j->n + count >= j->size) {
        j->full = true;
        return;
    }
    std::memcpy(j->out + j->n, text, count);
    j->n += count;
}

void put(JsonOut* j, const char* text) { put(j, text, std::strlen(text)); }

// Quotes and backslashes escaped, control bytes as \u00XX; the rest (UTF-8
// from fwld and the system) as it is. nullptr writes null.
void put_string(JsonOut* j, const char* text) {
    if (text == nullptr) {
        put(j, "null");
        return;
    }
    put(j, "\"");
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char escaped[8];
        if (c == '"' || c == '\\') {
            const char pair[2] = {'\\', static_cast<char>(c)};
            put(j, pair, 2);
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            put(j, escaped);
        } else {
            put(j, p, 1);
        }
    }
    put(j, "\"");
}

// "name": with the comma before it where one is due.
void put_name(JsonOut* j, const char* name) {
    const char last = j->n > 0 ? j->out[j->n - 1] : '{';
    if (last != '{' && last != '[') put(j, ",");
    put_string(j, name);
    put(j, ":");
}

void put_number(JsonOut* j, const char* name, int64_t value) {
    char digits[24];
    std::snprintf(digits, sizeof digits, "%lld", static_cast<long long>(value));
    put_name(j, name);
    put(j, digits);
}

// Milliseconds as seconds with three decimals, as fwld writes them.
void put_seconds(JsonOut* j, const char* name, uint64_t ms) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%llu.%03u", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned>(ms % 1000));
    put_name(j, name);
    put(j, digits);
}

size_t finish(JsonOut* j) {
    put(j, "}\n");
    return j->full ? 0 : j->n;
}

bool outcome_is(const RunResult& r, const char* outcome) { return std::strcmp(r.outcome, outcome) == 0; }

bool finished(const RunResult& r) { return r.known && outcome_is(r, "finished"); }

}  // namespace

Verdict judge_run(const PortRun& run, bool station, bool stopping) {
    if (!station) return finished(run.result) ? VERDICT_FINISHED : VERDICT_FAILED;
    // Every later run would meet the same file.
    if (run.result.known && outcome_is(run.result, "bad-file")) return VERDICT_STOPS_STATION;
    // Not a word from fwld: it refused its command line or could not be run.
    if (!run.any_event && !stopping) return VERDICT_STOPS_STATION;
    // Until the target answers, there is no telling a board was there.
    const Stage reached = run.result.known ? run.result.stage : run.stage;
    if (reached == STAGE_STARTING || reached == STAGE_POWER_ON) return VERDICT_NO_BOARD;
    return finished(run.result) ? VERDICT_FINISHED : VERDICT_FAILED;
}

bool run_was_stopped(const PortRun& run) {
    const RunResult& r = run.result;
    if (r.known) return outcome_is(r, "interrupted") || outcome_is(r, "signal");
    return run.ended && run.end.kind != END_EXIT;
}

int tally_run(PortTally* tally, const PortRun& run, Verdict verdict) {
    if (verdict != VERDICT_FINISHED && verdict != VERDICT_FAILED) return 0;
    ++tally->boards;
    if (verdict == VERDICT_FINISHED) {
        ++tally->finished;
    } else {
        ++tally->failed;
        if (run_was_stopped(run)) ++tally->stopped;
    }
    tally->seconds_ms += run.result.seconds_ms;
    tally->last = verdict;
    tally->last_result = run.result;
    return tally->boards;
}

void schedule_presence(PortSchedule* s, bool present, uint64_t device) {
    if (!present || (s->present && device != s->device)) s->gone = true;
    s->present = present;
    s->device = present ? device : 0;
}

void schedule_run_started(PortSchedule* s) {
    s->running = true;
    s->gone = false;
}

bool schedule_should_end_run(const PortSchedule& s, Stage stage) {
    return s.running && s.gone && (stage == STAGE_STARTING || stage == STAGE_POWER_ON);
}

void schedule_run_ended(PortSchedule* s, Verdict verdict, bool by_station_stop, bool watch, uint32_t now_ms) {
    s->running = false;
    s->gone = !s->present;
    const bool board = verdict == VERDICT_FINISHED || verdict == VERDICT_FAILED;
    // A board left plugged in after it ended is not woken again.
    s->needs_return = watch && board;
    // Nothing answered (no device, a busy port, a silent target): no
    // tight loop of fwld starting and ending.
    s->paused = !board && !by_station_stop;
    s->paused_until = now_ms + RESTART_PAUSE_MS;
}

bool schedule_may_start(const PortSchedule& s, uint32_t now_ms) {
    if (s.running || !s.present) return false;
    if (s.needs_return && !s.gone) return false;
    if (s.paused && !s.gone && static_cast<int32_t>(now_ms - s.paused_until) < 0) return false;
    return true;
}

size_t results_line_without_record(const char* p5, const PortRun& run, int board, char* out, size_t size) {
    const RunResult& r = run.result;
    JsonOut j{out, size, 0, false};
    put(&j, "{");
    put_name(&j, "port");
    put_string(&j, p5);
    put_name(&j, "stage");
    put_string(&j, stage_word(r.stage));
    put_name(&j, "outcome");
    put_string(&j, r.outcome);
    put_number(&j, "exit", r.exit_status);
    put_name(&j, "message");
    put_string(&j, r.message);
    put_seconds(&j, "seconds", r.seconds_ms);
    put_number(&j, "board", board);
    return finish(&j);
}

size_t summary_json(const char* const* ports, const PortTally* tallies, int count, uint32_t seconds_ms, char* out,
                    size_t size) {
    JsonOut j{out, size, 0, false};
    PortTally all{};
    put(&j, "{");
    put_name(&j, "ports");
    put(&j, "[");
    for (int i = 0; i < count; ++i) {
        const PortTally& t = tallies[i];
        if (i > 0) put(&j, ",");
        put(&j, "{");
        put_name(&j, "port");
        put_string(&j, ports[i]);
        put_number(&j, "boards", t.boards);
        put_number(&j, "finished", t.finished);
        put_number(&j, "failed", t.failed);
        if (t.boards > 0) {
            put_seconds(&j, "mean_seconds", t.seconds_ms / static_cast<uint64_t>(t.boards));
        } else {
            put_name(&j, "mean_seconds");
            put(&j, "null");
        }
        put(&j, "}");
        all.boards += t.boards;
        all.finished += t.finished;
        all.failed += t.failed;
    }
    put(&j, "]");
    put_number(&j, "boards", all.boards);
    put_number(&j, "finished", all.finished);
    put_number(&j, "failed", all.failed);
    put_seconds(&j, "seconds", seconds_ms);
    return finish(&j);
}
