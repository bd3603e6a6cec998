// Win32 clock: timeGetTime for the millisecond tick (1 ms steps with the
// timer period console_prepare asks for; GetTickCount moves in steps of
// about 15.6 ms, which would stretch every short wait to the next step), the
// system time for calendar seconds. Sleeps wake at the break, so that
// Ctrl-C ends a run that is waiting.
#include <windows.h>
#include <mmsystem.h>

#include <cstdio>

#include "clock.h"
#include "restore.h"

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

void sleep_or_break(DWORD ms) {
    std::fflush(stderr);  // the console is told everything before we block
    const HANDLE broken = reinterpret_cast<HANDLE>(restore_wake_handle());
    if (broken == nullptr) {
        Sleep(ms);
        return;
    }
    WaitForSingleObject(broken, ms);
}

uint32_t system_tick_ms() { return timeGetTime(); }

int32_t system_calendar_seconds() {
    return static_cast<int32_t>((filetime_now() - UNIX_EPOCH_AS_FILETIME) / FILETIME_PER_SECOND);
}

void system_sleep_ms(uint32_t ms) { sleep_or_break(ms); }

uint32_t system_ms_to_next_second() {
    const uint64_t into_second = (filetime_now() - UNIX_EPOCH_AS_FILETIME) % FILETIME_PER_SECOND;
    // A millisecond past the boundary, so the next reading shows the new second.
    return static_cast<uint32_t>((FILETIME_PER_SECOND - into_second) / FILETIME_PER_MS + 1);
}

}  // namespace

const ClockSource system_clock = {system_tick_ms, system_calendar_seconds, system_sleep_ms,
                                  system_ms_to_next_second};
