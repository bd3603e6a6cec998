// POSIX clock: CLOCK_MONOTONIC for the tick, CLOCK_REALTIME for the
// calendar. Sleeps wake when an ending signal comes, so that it ends a run
// that is waiting.
#include <poll.h>

#include <cerrno>
#include <ctime>

#include "clock.h"
#include "restore.h"

namespace {

uint32_t system_tick_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

// The same clock as the sleep below; time() may lag it by a scheduler tick.
int32_t system_calendar_seconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int32_t>(now.tv_sec);
}

void sleep_for(timespec span) {
    while (nanosleep(&span, &span) != 0 && errno == EINTR) {
    }
}

void system_sleep_ms(uint32_t ms) {
    const intptr_t ending = restore_wake_handle();
    if (ending == 0) {
        sleep_for(timespec{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L});
        return;
    }
    // A signal's handler interrupts the poll; its byte in the pipe ends the
    // sleep, now and for every sleep after it.
    const uint32_t start = system_tick_ms();
    for (uint32_t slept = 0; slept < ms; slept = system_tick_ms() - start) {
        pollfd wake{static_cast<int>(ending), POLLIN, 0};
        if (poll(&wake, 1, static_cast<int>(ms - slept)) > 0) return;
    }
}

uint32_t system_ms_to_next_second() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // A millisecond past the boundary, so the next reading shows the new second.
    return static_cast<uint32_t>((1000000000L - now.tv_nsec) / 1000000L + 1);
}

}  // namespace

const ClockSource system_clock = {system_tick_ms, system_calendar_seconds, system_sleep_ms,
                                  system_ms_to_next_second};
