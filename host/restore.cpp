// The tables of restore steps and how the process ends, shared by the
// platforms' handlers.
#include <csignal>

#include "restore.h"
#include "restore_ending.h"

namespace {

struct Steps {
    void (*steps[RESTORE_STEPS_MAX])();
    // Read by a signal's handler: a step is added before the count shows it.
    volatile std::sig_atomic_t count;
};

Steps normal{};
Steps urgent{};
volatile long ending_status = 0;
const char* volatile ending_cause = "";

bool add(Steps* table, void (*step)()) {
    const int count = table->count;
    for (int i = 0; i < count; ++i) {
        if (table->steps[i] == step) return true;
    }
    if (count >= RESTORE_STEPS_MAX) return false;
    table->steps[count] = step;
    table->count = count + 1;
    return true;
}

void run(const Steps& table) {
    for (int i = table.count - 1; i >= 0; --i) table.steps[i]();
}

}  // namespace

bool restore_register(void (*step)()) { return add(&normal, step); }
bool restore_register_urgent(void (*step)()) { return add(&urgent, step); }

long restore_ending_status() { return ending_status; }
const char* restore_ending_cause() { return ending_cause; }

void restore_note_ending(long status, const char* cause) {
    ending_cause = cause;
    ending_status = status;
}

void restore_run_urgent() { run(urgent); }

void restore_all() {
    run(urgent);
    run(normal);
}
