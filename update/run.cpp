// One run from its start to its end: the stages in order, and the one place
// where every run ends.
#include <cstdio>

#include "console.h"
#include "idle_wait.h"
#include "line_sequence.h"
#include "port.h"
#include "restore.h"
#include "result_file.h"
#include "run_record.h"
#include "stages.h"
#include "system.h"

// An ending signal or the break between two stages ends the run before the
// next begins; within a stage every wait wakes on it.
bool goes_on_unbroken(const RunOutcome& outcome) { return goes_on(outcome) && !restore_ending_seen(); }

RunOutcome run_stages(const RunSettings& s, RunFiles* files) {
    RunOutcome outcome = start_run(s, files);
    if (goes_on_unbroken(outcome)) outcome = wake_target(s);
    if (goes_on_unbroken(outcome)) outcome = send_loader(s, *files);
    if (goes_on_unbroken(outcome)) outcome = send_program(s, files);
    return goes_on(outcome) ? run_ended(RUN_BROKEN) : outcome;
}

namespace {

const char finished_text[] = "Finish version up.     \a\n";
const char interrupted_text[] = "Interruption.          \a\n";

// How a run ended: the exit status, and the message the result log keeps
// (the last one written, or what the console leaves unsaid).
struct Ending {
    int status;
    const char* recorded;
};

Ending ending_of(const RunOutcome& outcome) {
    switch (outcome.end) {
    case RUN_FINISHED: return Ending{0, finished_text};
    case RUN_INTERRUPTED:
    case RUN_ABANDONED: return Ending{1, interrupted_text};
    case RUN_STOPPED: return Ending{1, outcome.recorded != nullptr ? outcome.recorded : outcome.message};
    case RUN_BROKEN: return Ending{static_cast<int>(restore_ending_status()), nullptr};
    case RUN_GOES_ON: break;
    }
    return Ending{1, nullptr};  // a run that did not end has nothing more to say
}

// The end of a run that a key stopped: "Interruption.", the drain (given up
// when the line takes nothing: its bytes would hold the close) and the close.
void close_interrupted(int port) {
    std::fputs(interrupted_text, stderr);
    if (wait_for_drain(port) == DRAIN_GIVEN_UP) port_discard_output(port);
    port_close(port);
}

// The port closed and the last message written, in the order the ending
// asks for; a finished board restarted by the lines (RS) on the drained
// line before the close.
void close_and_say(const RunSettings& s, const RunOutcome& outcome) {
    const int port = s.port_number;
    switch (outcome.end) {
    case RUN_FINISHED:
        std::fputs(finished_text, stderr);
        run_exit_lines(s);
        port_close(port);
        return;
    case RUN_INTERRUPTED: close_interrupted(port); return;
    case RUN_ABANDONED:
        // The console stays silent here, as it always has; the log says why.
        port_close(port);
        return;
    case RUN_STOPPED:
        if (outcome.close_port) port_close(port);
        std::fprintf(stderr, "\n%s\n", outcome.message);
        return;
    case RUN_BROKEN:
        // At once, as the system would end the program: nothing more goes
        // out, and the record says what ended it, as for a signal.
        port_discard_output(port);
        port_close(port);
        return;
    case RUN_GOES_ON: return;
    }
}

void tell_record_lost(const RunSettings& s, bool board_updated) {
    char reason[160];
    system_error_text(result_file_last_error(), reason, sizeof reason);
    std::fprintf(stderr, "\nResult log \"%s\" can not be written (%s): %s\n", s.log_path, reason,
                 board_updated ? "the board was updated, but its record is lost." : "this run's record is lost.");
}

}  // namespace

int end_run(const RunSettings& s, const RunOutcome& stage_outcome) {
    // An ending signal or the break ends every wait a key ends: whatever a
    // stage made of it (an interruption, a write given up), the run ends as
    // the signal ends it.
    const bool broken = stage_outcome.end != RUN_FINISHED && restore_ending_seen();
    const RunOutcome outcome = broken ? run_ended(RUN_BROKEN) : stage_outcome;
    const Ending ending = ending_of(outcome);
    // The record is on the disk before the last word: whoever reads that
    // word may rely on the record. A second signal waits until it is whole.
    int status = ending.status;
    restore_hold_signals();
    const bool logged = record_end(outcome, status, ending.recorded);
    restore_release_signals();
    if (!logged) {
        if (outcome.end != RUN_BROKEN) tell_record_lost(s, status == 0);
        if (status == 0) status = RECORD_LOST_STATUS;
    }
    close_and_say(s, outcome);
    restore_hold_signals();
    record_send_end();
    restore_release_signals();
    return status;
}
