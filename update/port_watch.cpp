// Port recovery, the watch over a line that stops taking bytes, and the
// drain waits shared by the stages.
#include <cstdio>

#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "keyboard.h"
#include "port.h"
#include "restore.h"
#include "run_record.h"

namespace {

// A line that takes nothing for this long is reported, once per stall.
constexpr uint32_t STALL_REPORT_MS = 5000;
// A drain that a pending key waits on is given up once the queue has not
// moved for this long: a line that moves at all moves faster.
constexpr uint32_t DRAIN_GIVE_UP_MS = 250;
// A queue that has not moved for a while is looked at less often.
constexpr uint32_t DRAIN_SLOW_POLL_MS = 50;

bool stall_reported = false;
uint32_t last_stalled_ms = 0;

// RM: the port watched for a removed board, once the target has answered.
constexpr int NOT_WATCHED = -1;
int removal_port = NOT_WATCHED;
bool removed = false;

void report_stall(int port) {
    char hold[256];
    port_describe_hold(port, hold, sizeof hold);
    char told[384];
    std::snprintf(told, sizeof told, "The line has taken no bytes for %lu s: %s. Still waiting; a key ends the run.\n",
                  static_cast<unsigned long>(STALL_REPORT_MS / 1000), hold);
    progress_line_broken();
    std::fputs(told, stderr);
    note_notice(told);
}

// Tells the operator once per stall; a stall that ended and a new one that
// began are told apart by the time starting over.
void note_stall(int port, uint32_t stalled_ms) {
    if (stalled_ms < last_stalled_ms) stall_reported = false;
    last_stalled_ms = stalled_ms;
    if (stall_reported || stalled_ms < STALL_REPORT_MS) return;
    stall_reported = true;
    report_stall(port);
}

// A write the line does not take goes on while no key is pressed.
bool keep_waiting_on_line(int port, uint32_t stalled_ms) {
    note_stall(port, stalled_ms);
    return !key_waiting_now();
}

}  // namespace

bool port_seems_healthy(int port) {
    // Traffic since the last look has shown the device alive: no need to ask.
    return port_known_healthy(port) || port_is_healthy(port);
}

bool ensure_port_healthy(int port) {
    if (port_seems_healthy(port)) return true;
    // Looked at before the re-open: a re-open would take the next board's
    // device for this one's and wait on it for ever.
    if (board_removed(port)) return false;
    if (port_reopen(port) == PORT_OPENED && port_is_healthy(port)) {
        note_reopen();
        return true;
    }
    if (!key_waiting()) idle_wait(port, WAKE_ON_KEY, REOPEN_RETRY_MS);
    return false;
}

void watch_for_removal(const RunSettings& s, bool target_answered) {
    removal_port = s.removal_ends_run && target_answered ? s.port_number : NOT_WATCHED;
    removed = false;
}

bool board_removed(int port) {
    // Asked of the device itself: a wait with no traffic (the erase
    // countdown) leaves an old sign of health standing.
    if (!removed && port == removal_port && !port_is_healthy(port)) removed = !port_same_device(port);
    return removed;
}

bool board_still_in() { return removal_port == NOT_WATCHED || !board_removed(removal_port); }

RunOutcome board_removed_stop() {
    static char message[160];
    describe_removal(message, sizeof message);
    return run_stopped(STOP_BOARD_REMOVED, message, true);
}

void watch_line_stalls() {
    WakeSet wake{};
    wake.count = keyboard_wake_handles(true, wake.handles);
    port_watch_writes(wake, keep_waiting_on_line);
}

DrainResult wait_for_drain(int port) {
    uint32_t moved_at = clock_tick_ms();
    // The first reading counts as a move: the stall is timed from it.
    uint32_t queued = 0;
    for (uint32_t before = UINT32_MAX; !port_output_drained(port, &queued); before = queued) {
        if (restore_ending_seen()) return DRAIN_GIVEN_UP;
        const uint32_t now = clock_tick_ms();
        if (queued != before) moved_at = now;
        const uint32_t stalled = now - moved_at;
        note_stall(port, stalled);
        if (stalled >= DRAIN_GIVE_UP_MS && key_waiting()) return DRAIN_GIVEN_UP;
        clock_sleep_ms(stalled < DRAIN_GIVE_UP_MS ? DRAIN_POLL_MS : DRAIN_SLOW_POLL_MS);
    }
    return DRAINED;
}

DrainResult drain_on_healthy_port(int port) {
    const DrainResult result = wait_for_drain(port);
    if (result == DRAINED && !port_is_healthy(port)) return DRAIN_LINE_LOST;
    return result;
}
