// One run of fwld on a port, as its event stream tells it: the stage, the
// progress, the last thing worth showing, and at the end its result record.
#include <cstdio>
#include <cstring>

#include "gang.h"

namespace {

void copy_message(char (&to)[GANG_MESSAGE_MAX], const char* text) { std::snprintf(to, sizeof to, "%s", text); }

// A run that ended without its result record: fwld-gang's own account.
void result_without_record(PortRun* run, const char* outcome, int64_t status, const char* message) {
    RunResult& r = run->result;
    r = RunResult{};
    r.stage = run->stage;
    std::snprintf(r.outcome, sizeof r.outcome, "%s", outcome);
    r.exit_status = status;
    copy_message(r.message, message);
    r.bytes_sent = -1;
    r.records_sent = -1;
    r.seconds_ms = run->ended_ms - run->started_ms;
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
    case RUN_EVENT_TEXT: copy_message(run->message, e.text); return false;
    case RUN_EVENT_END:
        run->result = e.result;
        copy_message(run->message, e.result.message);
        return false;
    case RUN_EVENT_OTHER: return false;
    }
    return false;
}

void run_child_ended(PortRun* run, ChildEnd end, uint32_t now_ms) {
    run->ended = true;
    run->ended_ms = now_ms;
    run->end = end;
    if (run->result.known) return;
    char message[GANG_MESSAGE_MAX];
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
    copy_message(run->message, message);
}

void run_not_started(PortRun* run, const char* reason, uint32_t now_ms) {
    run->ended = true;
    run->ended_ms = now_ms;
    run->end = ChildEnd{END_EXIT, -1};
    result_without_record(run, "not-started", -1, reason);
    copy_message(run->message, reason);
}
