// Win32 clock: GetTickCount for the millisecond tick, the system time for
// calendar seconds, Sleep with a 1 ms timer period for the waits.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

#include "clock.h"

namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr uint64_t UNIX_EPOCH_AS_FILETIME = 116444736000000000ull;
constexpr uint64_t FILETIME_PER_MS = 10000;
constexpr uint64_t FILETIME_PER_SECOND = 10000000;

uint64_t filetime_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Without a 1 ms timer period Windows sleeps in steps of its default tick
// (about 15.6 ms); the period ends with the process.
void prepare_to_sleep() {
    std::fflush(stderr);  // the console is told everything before we block
    static bool asked = false;
    if (asked) return;
    asked = true;
    timeBeginPeriod(1);
}

uint32_t system_tick_ms() { return GetTickCount(); }

int32_t system_calendar_seconds() {
    return static_cast<int32_t>((filetime_now() - UNIX_EPOCH_AS_FILETIME) / FILETIME_PER_SECOND);
}

void system_sleep_ms(uint32_t ms) {
    prepare_to_sleep();
    Sleep(ms);
}

void system_sleep_to_next_second() {
    prepare_to_sleep();
    const uint64_t into_second = (filetime_now() - UNIX_EPOCH_AS_FILETIME) % FILETIME_PER_SECOND;
    // A millisecond past the boundary, so the next reading shows the new second.
    Sleep(static_cast<DWORD>((FILETIME_PER_SECOND - into_second) / FILETIME_PER_MS + 1));
}

}  // namespace

const ClockSource system_clock = {system_tick_ms, system_calendar_seconds, system_sleep_ms,
                                  system_sleep_to_next_second};
