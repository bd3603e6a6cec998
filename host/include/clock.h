// Time sources of the run: the 32-bit millisecond tick, the calendar clock in
// whole seconds, and the sleeps that stand in for spinning on them. Tests
// install a clock they drive, so counter wraps and long waits cost nothing.
#pragma once
#include <cstdint>

struct ClockSource {
    uint32_t (*tick_ms)();            // wraps modulo 2^32
    int32_t (*calendar_seconds)();
    void (*sleep_ms)(uint32_t ms);
    uint32_t (*ms_to_next_second)();  // until the calendar second changes (a little past it)
};

uint32_t clock_tick_ms();
int32_t clock_calendar_seconds();
void clock_sleep_ms(uint32_t ms);
uint32_t clock_ms_to_next_second();
void clock_sleep_to_next_second();

// Replaces the clock; nullptr restores the system's.
void clock_install(const ClockSource* source);

// The platform's clock, defined in its own file.
extern const ClockSource system_clock;
