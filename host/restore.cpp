// The table of restore steps, shared by the platforms' handlers.
#include <csignal>

#include "restore.h"
#include "restore_ending.h"

namespace {

void (*steps[RESTORE_STEPS_MAX])() = {};
// Read by the signal handler: steps are added before the count that shows them.
volatile std::sig_atomic_t step_count = 0;
volatile long ending_status = 0;
const char* volatile ending_cause = "";

}  // namespace

bool restore_register(void (*step)()) {
    const int count = step_count;
    for (int i = 0; i < count; ++i) {
        if (steps[i] == step) return true;
    }
    if (count >= RESTORE_STEPS_MAX) return false;
    steps[count] = step;
    step_count = count + 1;
    return true;
}

long restore_ending_status() { return ending_status; }
const char* restore_ending_cause() { return ending_cause; }

void restore_note_ending(long status, const char* cause) {
    ending_cause = cause;
    ending_status = status;
}

void restore_for_ending(long status, const char* cause) {
    restore_note_ending(status, cause);
    restore_all();
}

void restore_all() {
    for (int i = step_count - 1; i >= 0; --i) steps[i]();
}
