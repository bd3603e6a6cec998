// One run from its start to its end: the stages in order, and the one place
// where every run ends.
#include <cstdio>

#include "console.h"
#include "idle_wait.h"
#include "port.h"
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

// How a run ended on the console: the exit status, and the last message
// written (nullptr when the ending says nothing).
struct Ending {
    int status;
    const char* said;
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
        port_close(port);
        return Ending{1, nullptr};
    case RUN_STOPPED:
        if (outcome.close_port) port_close(port);
        std::fprintf(stderr, "\n%s\n", outcome.message);
        return Ending{1, outcome.message};
    case RUN_GOES_ON:
        break;
    }
    return Ending{1, nullptr};  // a run that did not end has nothing more to say
}

}  // namespace

int end_run(const RunSettings& s, const RunOutcome& outcome) {
    const Ending ending = close_and_say(s.port_number, outcome);
    record_end(outcome, ending.status, ending.said);
    return ending.status;
}
