// One run of fwld on a port, as its event stream tells it: the stage, the
// progress, the last thing worth showing, and at the end its result record.
#include <cstdio>
#include <cstring>

#include "run.h"

namespace {

// The rate needs a little history before it means anything.
constexpr uint32_t RATE_SPAN_MIN_MS = 500;

// A run that ended without its result record: fwld-gang's own account.
void result_without_record(PortRun* run, const char* outcome, int64_t status, const std::string& message) {
    RunResult& r = run->result;
    r = RunResult{};
    r.stage = run->stage;
    r.outcome = outcome;
    r.exit_status = status;
    r.message = message;
    r.bytes_sent = -1;
    r.records_sent = -1;
    r.seconds_ms = run->ended_ms - run->started_ms;
    // From the loader stage's event, the target's answer, to the end.
    const int32_t board_ms = static_cast<int32_t>(run->ended_ms - (run->started_ms + run->answered_t_ms));
    r.board_ms = !run->answered ? -1 : board_ms > 0 ? board_ms : 0;
    run->message = message;
}

}  // namespace

void run_start(PortRun* run, uint32_t now_ms) {
    *run = PortRun{};
    run->started_ms = now_ms;
    run->stage = STAGE_STARTING;
    run->stage_ms = now_ms;
    run->percent = -1;
}

bool run_event(PortRun* run, const RunEvent& e) {
    run->any_event = true;
    // fwld's clock starts with fwld, a moment after fwld-gang started it.
    const uint32_t at = run->started_ms + e.t_ms;
    switch (e.kind) {
    case RUN_EVENT_STAGE:
        if (e.stage == STAGE_STARTING || e.stage == STAGE_DONE || e.stage == run->stage) return false;
        run->stage = e.stage;
        run->stage_ms = at;
        if (e.stage >= STAGE_LOADER && !run->answered) {
            run->answered = true;
            run->answered_t_ms = e.t_ms;
        }
        return true;
    case RUN_EVENT_PROGRESS:
        run->bytes = e.bytes;
        run->total = e.total;
        run->records = e.records;
        run->percent = e.percent;
        if (!run->progressed) {
            run->progressed = true;
            run->first_progress_ms = at;
            run->first_bytes = e.bytes;
            run->first_records = e.records;
        }
        run->last_progress_ms = at;
        return false;
    case RUN_EVENT_TEXT: run->message = e.text; return false;
    case RUN_EVENT_END:
        run->result = e.result;
        // A record without the board's own time: the same span on fwld's clock.
        if (run->result.board_ms < 0 && run->answered && run->result.seconds_ms >= run->answered_t_ms) {
            run->result.board_ms = run->result.seconds_ms - run->answered_t_ms;
        }
        run->message = e.result.message;
        return false;
    case RUN_EVENT_LINES: run->lines_reset = run->lines_reset || e.text == "entry"; return false;
    case RUN_EVENT_OTHER: return false;
    }
    return false;
}

void run_child_ended(PortRun* run, ChildEnd end, uint32_t now_ms) {
    run->ended = true;
    run->ended_ms = now_ms;
    run->end = end;
    if (run->result.known) return;
    char message[160];
    if (end.kind == END_EXIT && end.code == 127 && !run->any_event) {
        std::snprintf(message, sizeof message, "fwld could not be run (its log says why)");
    } else if (end.kind == END_EXIT && !run->any_event) {
        std::snprintf(message, sizeof message, "fwld ended with status %ld before its first event (its log says why)",
                      end.code);
    } else if (end.kind == END_EXIT) {
        std::snprintf(message, sizeof message, "fwld ended with status %ld and no result record", end.code);
    } else if (end.kind == END_CTRL_C) {
        std::snprintf(message, sizeof message, "fwld ended by Ctrl-C and no result record");
    } else {
        std::snprintf(message, sizeof message, "fwld ended by signal %ld and no result record", end.code);
    }
    result_without_record(run, "no-record", end.code, message);
}

void run_not_started(PortRun* run, const std::string& reason, uint32_t now_ms) {
    run->ended = true;
    run->ended_ms = now_ms;
    run->end = ChildEnd{END_EXIT, -1};
    result_without_record(run, "not-started", -1, reason);
}

RunFigures run_figures(const PortRun& run, uint32_t now_ms) {
    RunFigures f{};
    const uint32_t now = run.ended ? run.ended_ms : now_ms;
    f.elapsed_ms = now - run.started_ms;
    f.stage_seconds = static_cast<int32_t>((now - run.stage_ms) / 1000u);
    f.percent = run.stage == STAGE_PROGRAM && run.percent >= 0 ? run.percent : -1;
    f.records_per_s = -1;
    f.seconds_left = -1;
    if (run.ended || run.stage != STAGE_PROGRAM || !run.progressed) return f;
    // No record for a while: the old rate would tell of a transfer that is not going on.
    const int32_t since_last = static_cast<int32_t>(now_ms - run.last_progress_ms);
    if (since_last >= static_cast<int32_t>(STALL_MS)) {
        f.records_per_s = 0;
        return f;
    }
    const uint32_t span = run.last_progress_ms - run.first_progress_ms;
    const int64_t records = run.records - run.first_records;
    const int64_t bytes = run.bytes - run.first_bytes;
    if (span < RATE_SPAN_MIN_MS || records <= 0 || bytes <= 0) return f;
    f.records_per_s = static_cast<double>(records) * 1000.0 / span;
    const double bytes_per_s = static_cast<double>(bytes) * 1000.0 / span;
    // The file's size counts bytes between records too: a little over.
    const double left = static_cast<double>(run.total - run.bytes) / bytes_per_s - since_last / 1000.0;
    f.seconds_left = left > 0 ? static_cast<int32_t>(left + 0.5) : 0;
    return f;
}
