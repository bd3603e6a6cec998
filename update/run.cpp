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

// The end of a run that a key stopped: "Interruption.", the drain (given up
// when the line takes nothing: its bytes would hold the close) and the close.
int close_interrupted(int port) {
    std::fputs("Interruption.          \a\n", stderr);
    if (wait_for_drain(port) == DRAIN_GIVEN_UP) port_discard_output(port);
    port_close(port);
    return 1;
}

// The port closed and the last message written, in the order the ending
// asks for; the exit status.
int close_and_say(int port, const RunOutcome& outcome) {
    switch (outcome.end) {
    case RUN_FINISHED:
        std::fputs("Finish version up.     \a\n", stderr);
        port_close(port);
        return 0;
    case RUN_INTERRUPTED:
        return close_interrupted(port);
    case RUN_ABANDONED:
        port_close(port);
        return 1;
    case RUN_STOPPED:
        if (outcome.close_port) port_close(port);
        std::fprintf(stderr, "\n%s\n", outcome.message);
        return 1;
    case RUN_GOES_ON:
        break;
    }
    return 1;  // a run that did not end has nothing more to say
}

}  // namespace

int end_run(const RunSettings& s, const RunOutcome& outcome) {
    const int status = close_and_say(s.port_number, outcome);
    record_end(outcome, status);
    return status;
}
