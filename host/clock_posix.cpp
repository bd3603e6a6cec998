// POSIX clock: CLOCK_MONOTONIC for the tick, CLOCK_REALTIME for the calendar.
#include <cerrno>
#include <ctime>

#include "clock.h"

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
    sleep_for(timespec{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L});
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
