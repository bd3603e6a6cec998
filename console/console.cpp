// Fatal stop, progress line, erase countdown, delays and the keyboard poll.
// The waits sleep until their deadline instead of spinning on the clock.
#include <cstdio>
#include <cstdlib>

#include "clock.h"
#include "console.h"
#include "keyboard.h"

namespace {

uint32_t progress_call_count = 0;
const char progress_markers[] = "-|+*";
// The progress line now on the console, if nothing has been written since.
bool progress_shown = false;
char shown_marker = 0;
long shown_percent = 0;
void (*end_hook)(int status) = nullptr;

}  // namespace

void fatal_stop(const char* message) {
    std::fprintf(stderr, "\n%s\n", message);
    end_process(1);
}

void end_process(int status) {
    if (end_hook != nullptr) end_hook(status);
    std::exit(status);
}

void end_process_hook(void (*hook)(int status)) { end_hook = hook; }

long progress_percent(int32_t total, int32_t done) {
    if (total < 100) {
        // Too small for whole-percent steps: plain ratio, never a division by zero.
        if (total <= 0) return 0;
        return static_cast<long>(static_cast<int64_t>(done) * 100 / total);
    }
    const int32_t per_cent = total / 100;
    return static_cast<long>(done / per_cent);
}

void show_progress(int32_t total, int32_t done) {
    const char marker = progress_markers[(progress_call_count >> 4) & 3u];
    const long percent = progress_percent(total, done);
    ++progress_call_count;
    // The same text again over itself changes nothing on the console: a
    // transfer of thousands of records writes a few hundred lines, not one
    // per record.
    if (progress_shown && marker == shown_marker && percent == shown_percent) return;
    std::fprintf(stderr, "%c%03ld %% completed.\r", marker, percent);
    progress_shown = true;
    shown_marker = marker;
    shown_percent = percent;
}

void progress_line_broken() { progress_shown = false; }

void erase_countdown(int32_t seconds) {
    if (seconds == 0) return;
    progress_line_broken();
    const int32_t start = clock_calendar_seconds();
    int32_t shown = -1;
    for (;;) {
        const int32_t elapsed = clock_calendar_seconds() - start;
        // Write only when the number changes: a redirected log gets one line
        // per second, not millions.
        if (elapsed != shown) {
            std::fprintf(stderr, "Erase time %ldsec\r", static_cast<long>(elapsed));
            shown = elapsed;
        }
        if (elapsed >= seconds) break;
        clock_sleep_to_next_second();
    }
    std::fprintf(stderr, "\n");
}

void wait_ms(uint32_t interval) {
    const uint32_t start = clock_tick_ms();
    for (;;) {
        const uint32_t elapsed = clock_tick_ms() - start;
        if (elapsed >= interval) return;
        clock_sleep_ms(interval - elapsed);
    }
}

bool key_waiting() { return keyboard_key_pending(); }
