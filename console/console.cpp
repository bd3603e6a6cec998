// Progress line, erase countdown, delays and the keyboard poll. The waits
// sleep until their deadline instead of spinning on the clock, and end
// early at the break (Windows), which ends the run.
#include <cstdio>

#include "clock.h"
#include "console.h"
#include "keyboard.h"
#include "restore.h"

namespace {

uint32_t progress_call_count = 0;
const char progress_markers[] = "-|+*";
// Asking the keyboard costs a system call, and the loops ask on every pass:
// between waits it is asked at most this often, and at once after a wait
// that the keyboard woke.
constexpr uint32_t KEY_ASK_INTERVAL_MS = 10;
bool keyboard_answer = false;
// A countdown that is watched asks this often whether it goes on.
constexpr uint32_t COUNTDOWN_LOOK_MS = 250;
bool keyboard_stirred = true;
uint32_t keyboard_asked_at = 0;

// The progress line now on the console, if nothing has been written since.
bool progress_shown = false;
char shown_marker = 0;
long shown_percent = 0;

}  // namespace

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

bool erase_countdown(int32_t seconds, bool (*still_waiting)()) {
    if (seconds == 0) return true;
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
        if (restore_ending_seen()) return false;
        if (still_waiting == nullptr) {
            clock_sleep_to_next_second();
            continue;
        }
        const uint32_t to_next = clock_ms_to_next_second();
        clock_sleep_ms(to_next < COUNTDOWN_LOOK_MS ? to_next : COUNTDOWN_LOOK_MS);
        if (!still_waiting()) return false;
    }
    std::fprintf(stderr, "\n");
    return true;
}

void wait_ms(uint32_t interval) {
    const uint32_t start = clock_tick_ms();
    for (;;) {
        const uint32_t elapsed = clock_tick_ms() - start;
        if (elapsed >= interval || restore_ending_seen()) return;
        clock_sleep_ms(interval - elapsed);
    }
}

bool key_waiting_now() {
    keyboard_answer = keyboard_key_pending() || restore_ending_seen();
    keyboard_asked_at = clock_tick_ms();
    keyboard_stirred = false;
    return keyboard_answer;
}

bool key_waiting() {
    if (!keyboard_stirred && clock_tick_ms() - keyboard_asked_at < KEY_ASK_INTERVAL_MS) return keyboard_answer;
    return key_waiting_now();
}

void key_input_noticed() { keyboard_stirred = true; }
