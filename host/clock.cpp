// The run's clock: the platform's own (clock_posix.cpp, clock_win32.cpp)
// unless a test has installed one of its making.
#include "clock.h"

namespace {

const ClockSource* active_clock = &system_clock;

}  // namespace

uint32_t clock_tick_ms() { return active_clock->tick_ms(); }
int32_t clock_calendar_seconds() { return active_clock->calendar_seconds(); }
void clock_sleep_ms(uint32_t ms) { active_clock->sleep_ms(ms); }
uint32_t clock_ms_to_next_second() { return active_clock->ms_to_next_second(); }
void clock_sleep_to_next_second() { clock_sleep_ms(clock_ms_to_next_second()); }
void clock_install(const ClockSource* source) { active_clock = source != nullptr ? source : &system_clock; }
