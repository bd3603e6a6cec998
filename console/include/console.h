// Console reporting and timing shared by every stage of the run.
#pragma once
#include <cstddef>
#include <cstdint>

// Readies the console before the first message: byte-exact output (no
// line-end translation) on every platform, and what else the platform needs
// for the run. After restore_install.
void console_prepare();

// "<marker><percent> % completed.\r" on stderr; the marker turns every 16 calls.
// A line whose text is the one already on the console is not written again.
void show_progress(int32_t total, int32_t done);
// Other text went to the console since the last progress line: the next one
// is written whatever it says.
void progress_line_broken();
// Percentage shown for done out of total (the progress line's number, and
// the progress event's).
inline long progress_percent(int32_t total, int32_t done) {
    if (total < 100) {
        // Too small for whole-percent steps: plain ratio, never a division by zero.
        if (total <= 0) return 0;
        return static_cast<long>(static_cast<int64_t>(done) * 100 / total);
    }
    const int32_t per_cent = total / 100;
    return static_cast<long>(done / per_cent);
}

// Counts elapsed calendar seconds on one overwritten line until the given
// number has passed, then ends the line. With still_waiting, it is asked a
// few times a second whether the wait goes on. False when the break
// (Windows) or still_waiting ended it early.
bool erase_countdown(int32_t seconds, bool (*still_waiting)() = nullptr);

// Blocks the run for the interval, measured on the 32-bit millisecond tick.
// The break (Windows) ends it early.
void wait_ms(uint32_t interval);

// True while a key press is pending; the key is never consumed. Between
// waits the keyboard itself is asked at most every few milliseconds. The
// break (Windows) counts as a key: it ends every wait a key ends, and the
// run's end tells the two apart.
bool key_waiting();
// The same, asking the keyboard now.
bool key_waiting_now();
// An idle wait saw the keyboard stir: the next key_waiting asks at once.
void key_input_noticed();

// Ends the text at its first line feed.
void cut_at_newline(char* text);

// Copies target-supplied text for the console with control bytes other
// than tab shown as \xNN, so the target cannot drive the terminal.
void escape_for_console(const char* text, char* out, size_t size);
// One byte the same way; out holds up to 4 characters and a NUL.
void escape_byte(unsigned char byte, char out[5]);

