// The steps of an RS sequence on the port: lines set at once, waits kept to
// their length on the millisecond tick, a key watched all the while.
#include "line_sequence.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "port.h"
#include "run_record.h"
#include "system.h"
#include "trace.h"

namespace {

enum SequenceEnd { SEQUENCE_DONE, SEQUENCE_KEY, SEQUENCE_LINE_FAILED };

ModemLine line_of(LineStepKind kind) { return kind == STEP_DTR_ON || kind == STEP_DTR_OFF ? MODEM_DTR : MODEM_RTS; }
const char* line_name(ModemLine line) { return line == MODEM_DTR ? "DTR" : "RTS"; }

// The port as the operator knows it: a device path as given, or COMn.
void port_name(const RunSettings& s, char* out, size_t size) {
    char device[PORT_PATH_MAX];
    port_device_path(s.port_number, device, sizeof device);
    const char* name = s.port_path[0] != '\0' ? s.port_path : device;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    std::snprintf(out, size, "%s", name);
}

// "ttyUSB0: DTR can not be set: Inappropriate ioctl for device."
const char* line_failure(const RunSettings& s, ModemLine line, long error) {
    static char message[PORT_PATH_MAX + 224];
    char port[PORT_PATH_MAX], reason[160];
    port_name(s, port, sizeof port);
    system_error_text(error, reason, sizeof reason);
    std::snprintf(message, sizeof message, "%s: %s can not be set: %s.", port, line_name(line), reason);
    return message;
}

// Until the time has passed, or a key comes first (false). The port is
// left out of the wait: what the board says while it starts is read later.
bool wait_or_key(uint32_t ms) {
    const uint32_t start = clock_tick_ms();
    for (;;) {
        if (key_waiting()) return false;
        const uint32_t waited = clock_tick_ms() - start;
        if (waited >= ms) return true;
        idle_wait(NO_PORT, WAKE_ON_KEY, ms - waited);
    }
}

SequenceEnd run_steps(const RunSettings& s, const LineSequence& sequence, ModemLine* failed) {
    for (int i = 0; i < sequence.count; ++i) {
        const LineStep& step = sequence.steps[i];
        if (step.kind == STEP_WAIT) {
            if (trace_active()) {
                char text[32];
                std::snprintf(text, sizeof text, "wait %u ms", static_cast<unsigned>(step.wait_ms));
                trace_event(text);
            }
            if (!wait_or_key(step.wait_ms)) return SEQUENCE_KEY;
            continue;
        }
        const bool on = step.kind == STEP_DTR_ON || step.kind == STEP_RTS_ON;
        if (!port_set_line(s.port_number, line_of(step.kind), on)) {
            *failed = line_of(step.kind);
            return SEQUENCE_LINE_FAILED;
        }
    }
    return SEQUENCE_DONE;
}

// The first line either sequence drives, for the message of a port that
// has none.
ModemLine first_line(const RunSettings& s) {
    for (const LineSequence* sequence : {&s.lines_entry, &s.lines_exit}) {
        for (int i = 0; i < sequence->count; ++i) {
            if (sequence->steps[i].kind != STEP_WAIT) return line_of(sequence->steps[i].kind);
        }
    }
    return MODEM_DTR;
}

}  // namespace

RunOutcome run_entry_lines(const RunSettings& s) {
    if (s.lines_text == nullptr) return run_goes_on();
    // Both sequences' lines are known to work before the target hears
    // anything: an exit sequence that cannot run is found now, not after
    // the update.
    if (!port_has_modem_lines(s.port_number)) {
        return run_stopped(STOP_LINE_FAILED, line_failure(s, first_line(s), port_last_error(s.port_number)), true);
    }
    ModemLine failed = MODEM_DTR;
    const SequenceEnd end = run_steps(s, s.lines_entry, &failed);
    if (end == SEQUENCE_KEY) return run_ended(RUN_ABANDONED);
    if (end == SEQUENCE_LINE_FAILED) {
        return run_stopped(STOP_LINE_FAILED, line_failure(s, failed, port_last_error(s.port_number)), true);
    }
    note_lines("entry", s.lines_entry.text);
    return run_goes_on();
}

void run_exit_lines(const RunSettings& s) {
    if (s.lines_text == nullptr || s.lines_exit.count == 0) return;
    ModemLine failed = MODEM_DTR;
    const SequenceEnd end = run_steps(s, s.lines_exit, &failed);
    if (end == SEQUENCE_LINE_FAILED) {
        std::fprintf(stderr, "Warning: %s The board was updated, but may not restart by itself.\n",
                     line_failure(s, failed, port_last_error(s.port_number)));
    }
    note_lines("exit", s.lines_exit.text);
}
