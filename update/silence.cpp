// Timing the target's silence on the run's millisecond tick.
#include "silence.h"

#include <cstdio>

#include "clock.h"

namespace {

uint32_t silence_ms(const SilenceWatch& watch) { return clock_tick_ms() - watch.since; }

}  // namespace

void silence_begin(SilenceWatch* watch, const RunSettings& s) {
    watch->limit_ms = static_cast<uint32_t>(s.silence_limit) * 1000u;
    watch->since = clock_tick_ms();
}

void silence_heard(SilenceWatch* watch) { watch->since = clock_tick_ms(); }

bool silence_over_limit(const SilenceWatch& watch) {
    return watch.limit_ms != 0 && silence_ms(watch) >= watch.limit_ms;
}

uint32_t silence_bound(const SilenceWatch& watch, uint32_t wanted_ms) {
    if (watch.limit_ms == 0) return wanted_ms;
    const uint32_t silent = silence_ms(watch);
    const uint32_t left = silent >= watch.limit_ms ? 0 : watch.limit_ms - silent;
    return left < wanted_ms ? left : wanted_ms;
}

RunOutcome target_silent(const SilenceWatch& watch, const char* stage, const char* awaited) {
    static char message[320];
    std::snprintf(message, sizeof message, "%s: the target has sent nothing for %lu s while fwld waited for %s.\a",
                  stage, static_cast<unsigned long>(watch.limit_ms / 1000u), awaited);
    return run_stopped(STOP_TARGET_SILENT, message, true);
}
