// The harness pieces: manual clock, the end of a stage run, console capture.
#include "run_harness.h"

#include <cstdio>

#include "clock.h"
#include "console.h"

namespace harness {

namespace {

uint32_t tick_origin = 0;
uint64_t elapsed_ms = 0;
void (*sleep_hook)(uint32_t) = nullptr;

uint32_t manual_tick() { return static_cast<uint32_t>(tick_origin + elapsed_ms); }
int32_t manual_calendar() { return static_cast<int32_t>(1000000 + elapsed_ms / 1000u); }

void manual_sleep(uint32_t ms) {
    elapsed_ms += ms;
    if (sleep_hook != nullptr) sleep_hook(ms);
}

uint32_t manual_to_next_second() { return static_cast<uint32_t>(1000u - elapsed_ms % 1000u); }

const ClockSource manual_clock = {manual_tick, manual_calendar, manual_sleep, manual_to_next_second};

char capture_buffer[CONSOLE_CAPTURE_CAPACITY + 1];
FILE* saved_stderr = nullptr;
FILE* capture_stream = nullptr;

}  // namespace

void manual_clock_install(uint32_t start_tick) {
    tick_origin = start_tick;
    elapsed_ms = 0;
    sleep_hook = nullptr;
    clock_install(&manual_clock);
}

void manual_clock_on_sleep(void (*hook)(uint32_t slept_ms)) { sleep_hook = hook; }

uint64_t manual_clock_elapsed_ms() { return elapsed_ms; }

void manual_clock_remove() {
    sleep_hook = nullptr;
    clock_install(nullptr);
}

Ended end_as_main_does(const RunSettings& settings, const RunOutcome& outcome) {
    return Ended{outcome.end, outcome.kind, end_run(settings, outcome)};
}

// glibc lets a program point stderr at another stream.
void console_capture_begin() {
    std::fflush(stderr);
    capture_stream = fmemopen(capture_buffer, CONSOLE_CAPTURE_CAPACITY, "w");
    if (capture_stream == nullptr) return;
    saved_stderr = stderr;
    stderr = capture_stream;
}

const char* console_capture_end(size_t* length) {
    *length = 0;
    if (capture_stream == nullptr) {
        capture_buffer[0] = '\0';
        return capture_buffer;
    }
    std::fflush(capture_stream);
    const long used = std::ftell(capture_stream);
    std::fclose(capture_stream);
    capture_stream = nullptr;
    stderr = saved_stderr;
    *length = used > 0 ? static_cast<size_t>(used) : 0;
    if (*length > CONSOLE_CAPTURE_CAPACITY) *length = CONSOLE_CAPTURE_CAPACITY;
    capture_buffer[*length] = '\0';
    return capture_buffer;
}

}  // namespace harness
