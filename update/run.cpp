// One run from its start to its end: the stages in order, and the one place
// where every run ends.
#include <cstdio>

#include "console.h"
#include "idle_wait.h"
#include "port.h"
#include "restore.h"
#include "run_record.h"
#include "stages.h"

RunOutcome run_stages(const RunSettings& s, RunFiles* files) {
    RunOutcome outcome = start_run(s, files);
    if (goes_on(outcome)) outcome = wake_target(s);
    if (goes_on(outcome)) outcome = send_loader(s, *files);
    if (goes_on(outcome)) outcome = send_program(s, files);
    return outcome;
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

// The end of a run that a key stopped: "Interruption.", the drain (given up
// when the line takes nothing: its bytes would hold the close) and the close.
Ending close_interrupted(int port) {
    std::fputs(interrupted_text, stderr);
    if (wait_for_drain(port) == DRAIN_GIVEN_UP) port_discard_output(port);
    port_close(port);
    return Ending{1, interrupted_text};
}

// The port closed and the last message written, in the order the ending
// asks for.
Ending close_and_say(int port, const RunOutcome& outcome) {
    switch (outcome.end) {
    case RUN_FINISHED:
        std::fputs(finished_text, stderr);
        port_close(port);
        return Ending{0, finished_text};
    case RUN_INTERRUPTED:
        return close_interrupted(port);
    case RUN_ABANDONED:
        // The console stays silent here, as it always has; the log says why.
        port_close(port);
        return Ending{1, interrupted_text};
    case RUN_STOPPED:
        if (outcome.close_port) port_close(port);
        std::fprintf(stderr, "\n%s\n", outcome.message);
        return Ending{1, outcome.recorded != nullptr ? outcome.recorded : outcome.message};
    case RUN_BROKEN:
        // At once, as the system would end the program: nothing more goes
        // out, and the record says what ended it, as for a signal.
        port_discard_output(port);
        port_close(port);
        return Ending{static_cast<int>(restore_ending_status()), nullptr};
    case RUN_GOES_ON:
        break;
    }
    return Ending{1, nullptr};  // a run that did not end has nothing more to say
}

}  // namespace

int end_run(const RunSettings& s, const RunOutcome& stage_outcome) {
    // The break ends every wait a key ends: whatever a stage made of it (an
    // interruption, a write given up), the run ends as the break ends it.
    const bool broken = stage_outcome.end != RUN_FINISHED && restore_break_seen();
    const RunOutcome outcome = broken ? run_ended(RUN_BROKEN) : stage_outcome;
    const Ending ending = close_and_say(s.port_number, outcome);
    record_end(outcome, ending.status, ending.recorded);
    return ending.status;
}
