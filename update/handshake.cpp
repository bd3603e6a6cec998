// Wake-up handshake: reset sentence, repeating password until the target
// says "Ready ok.", then its 'G', a settle delay and "Loader".
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "console.h"
#include "handshake.h"
#include "idle_wait.h"
#include "line_sequence.h"
#include "restore.h"
#include "run_record.h"
#include "silence.h"
#include "stages.h"

namespace {

const char acknowledgement[] = "Ready ok.";
static_assert(sizeof acknowledgement - 1 < RECEIVE_WINDOW_SPAN, "must fit the receive window");

// The password goes out again once the interval has passed since the
// previous one left the transmit queue.
struct Repetition {
    bool drained;
    uint32_t drained_at;
};

// Milliseconds the loop may sleep before the next thing it must do itself.
uint32_t time_to_next_duty(const Repetition& r, uint32_t interval) {
    if (!r.drained) return DRAIN_POLL_MS;
    const uint32_t elapsed = clock_tick_ms() - r.drained_at;
    return elapsed >= interval ? 0 : interval - elapsed;
}

enum Answer { ANSWERED, KEY_PRESSED, LINE_LOST, TARGET_SILENT, BROKEN };

// Until the target has acknowledged, a key abandons the wait, or it has
// sent nothing for the time TO allows.
Answer repeat_password_until_acknowledged(const RunSettings& s, SilenceWatch* silence) {
    const int port = s.port_number;
    const uint32_t interval = static_cast<uint32_t>(s.password_interval);
    ReceiveWindow window;
    window_clear(&window);
    Repetition repetition{false, 0};
    for (;;) {
        if (silence_over_limit(*silence)) return TARGET_SILENT;
        if (!ensure_port_healthy(port)) {
            if (key_waiting()) return KEY_PRESSED;
            continue;
        }
        if (port_input_count(port) != 0) {
            silence_heard(silence);
            if (window_accept(&window, port_read_byte(port), acknowledgement)) return ANSWERED;
        } else if (repetition.drained && clock_tick_ms() - repetition.drained_at >= interval) {
            port_write_string(port, s.password);
            repetition.drained = false;
        }
        if (!repetition.drained && port_output_drained(port)) {
            repetition.drained = true;
            repetition.drained_at = clock_tick_ms();
        }
        if (key_waiting()) return KEY_PRESSED;
        idle_wait(port, WAKE_ON_KEY, silence_bound(*silence, time_to_next_duty(repetition, interval)));
    }
}

// A key does not end this wait (it stays pending and interrupts the
// program stage); Ctrl-C does, and TO. The target has acknowledged and
// waits for the loader: a line lost now cannot be picked up again, and a
// 'G' lost with it would leave this wait without end.
Answer wait_for_go(const RunSettings& s, SilenceWatch* silence) {
    const int port = s.port_number;
    for (;;) {
        if (restore_ending_seen()) return BROKEN;
        if (port_input_count(port) != 0) {
            silence_heard(silence);
            if (port_read_byte(port) == 'G') return ANSWERED;
            continue;
        }
        if (!port_is_healthy(port)) return LINE_LOST;
        if (silence_over_limit(*silence)) return TARGET_SILENT;
        idle_wait(port, IGNORE_KEYS, silence_bound(*silence, 1000));
    }
}

}  // namespace

int find_in_window(const char* window, const char* needle, int32_t count) {
    for (int32_t k = 0; k < count; ++k) {
        if (std::strcmp(window + k, needle) == 0) return static_cast<int>(k);
    }
    return -1;
}

void window_clear(ReceiveWindow* window) {
    std::memset(window->bytes, 0, sizeof window->bytes);
    window->next = 0;
}

bool window_accept(ReceiveWindow* window, char byte, const char* needle) {
    if (byte < 0x20) return false;  // control bytes, and 0x80..0xFF as signed
    const int i = window->next;
    window->bytes[i] = byte;
    window->bytes[i + RECEIVE_WINDOW_SPAN] = byte;
    window->next = (i + 1) % RECEIVE_WINDOW_SPAN;
    window->bytes[window->next] = '\0';
    window->bytes[window->next + RECEIVE_WINDOW_SPAN] = '\0';
    return find_in_window(window->bytes, needle, RECEIVE_WINDOW_SPAN) >= 0;
}

void build_reset_sentence(int32_t target_id, char* out, size_t size) {
    char body[24];  // "$PZKW,cprst," and the longest int
    std::snprintf(body, sizeof body, "$PZKW,cprst,%d", static_cast<int>(target_id));
    unsigned checksum = 0;
    for (const char* p = body + 1; *p != '\0'; ++p) checksum ^= static_cast<unsigned char>(*p);
    std::snprintf(out, size, "%s*%02X\r\n", body, checksum);
}

RunOutcome wake_target(const RunSettings& s) {
    const int port = s.port_number;
    // Where the operator's hand was: the lines reset or power the board.
    const RunOutcome lines = run_entry_lines(s);
    if (!goes_on(lines)) return lines;
    char sentence[32];
    build_reset_sentence(s.target_id, sentence, sizeof sentence);
    port_write_string(port, sentence);
    port_write_string(port, s.password);
    SilenceWatch silence;
    silence_begin(&silence, s);
    const Answer acknowledged = repeat_password_until_acknowledged(s, &silence);
    if (acknowledged == KEY_PRESSED) return run_ended(RUN_ABANDONED);
    if (acknowledged == TARGET_SILENT) return target_silent(silence, "Wake-up", "\"Ready ok.\" after the password");
    // The target has answered: a board is on the line.
    note_stage(STAGE_LOADER);
    watch_for_removal(s, true);
    const Answer go = wait_for_go(s, &silence);
    if (go == BROKEN) return run_ended(RUN_BROKEN);
    if (go == LINE_LOST) return loader_lost(port);
    if (go == TARGET_SILENT) return target_silent(silence, "Wake-up", "its G after \"Ready ok.\"");
    wait_ms(static_cast<uint32_t>(s.password_interval) * 10u);
    if (restore_ending_seen()) return run_ended(RUN_BROKEN);
    if (!port_write_string(port, "Loader")) return loader_write_failed(port);
    std::fputs("Execute STEP1\n", stderr);
    note_said("Execute STEP1");
    return run_goes_on();
}
