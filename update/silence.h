// A target that has stopped talking: how long it has sent nothing while
// fwld waits for it, and the end of a run that TO puts on that silence.
#pragma once
#include <cstdint>

#include "outcome.h"
#include "settings.h"

struct SilenceWatch {
    uint32_t limit_ms;  // 0: waited for without end
    uint32_t since;     // tick of the last byte, or of the start of the wait
};

// Starts timing a wait for the target, now.
void silence_begin(SilenceWatch* watch, const RunSettings& settings);
// A byte came, or fwld was busy on its own: the silence starts again now.
void silence_heard(SilenceWatch* watch);
// TO is set and the target has used it up.
bool silence_over_limit(const SilenceWatch& watch);
// How long a wait may block: what it wants, but not past the limit.
uint32_t silence_bound(const SilenceWatch& watch, uint32_t wanted_ms);

// The stop for a silence over the limit: the port closed, the stage and
// what was awaited named. The message lives in static storage.
RunOutcome target_silent(const SilenceWatch& watch, const char* stage, const char* awaited);
