// The station's rules: which run was a board and how it went, the tally of
// each port, when a port starts fwld again, and the summary file.
#include <cstring>

#include "gang.h"
#include "json_line.h"

namespace {

// What the station writes itself is whole or not at all: a line cut to
// fit would pass for a true one.
size_t finished_line(JsonLine* line) {
    const size_t length = json_line_end(line);
    return line->overflow ? 0 : length;
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
    JsonLine line;
    json_line_begin(&line, out, size);
    json_string(&line, "port", p5);
    json_string(&line, "stage", stage_word(r.stage));
    json_string(&line, "outcome", r.outcome);
    json_signed(&line, "exit", r.exit_status);
    json_string(&line, "message", r.message);
    json_seconds(&line, "seconds", r.seconds_ms);
    json_signed(&line, "board", board);
    return finished_line(&line);
}

size_t summary_json(const char* const* ports, const PortTally* tallies, int count, uint32_t seconds_ms, char* out,
                    size_t size) {
    JsonLine line;
    json_line_begin(&line, out, size);
    PortTally all{};
    json_array_begin(&line, "ports");
    for (int i = 0; i < count; ++i) {
        const PortTally& t = tallies[i];
        json_object_begin(&line, nullptr);
        json_string(&line, "port", ports[i]);
        json_signed(&line, "boards", t.boards);
        json_signed(&line, "finished", t.finished);
        json_signed(&line, "failed", t.failed);
        if (t.boards > 0) {
            json_seconds(&line, "mean_seconds", t.seconds_ms / static_cast<uint64_t>(t.boards));
        } else {
            json_null(&line, "mean_seconds");
        }
        json_object_end(&line);
        all.boards += t.boards;
        all.finished += t.finished;
        all.failed += t.failed;
    }
    json_array_end(&line);
    json_signed(&line, "boards", all.boards);
    json_signed(&line, "finished", all.finished);
    json_signed(&line, "failed", all.failed);
    json_seconds(&line, "seconds", seconds_ms);
    return finished_line(&line);
}
