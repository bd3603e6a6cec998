// For binaries that run fwld's stages in-process over the memory device
// (fuzzers, scripted-peer tests): a clock the harness drives, a stage run to
// its end as main ends it, and the console captured in memory.
#pragma once
#include <cstddef>
#include <cstdint>

#include "stages.h"

namespace harness {

// A clock that moves only when the run sleeps: each sleep advances it and
// then gives the hook a turn, which is where the scripted world acts while
// fwld waits. The calendar follows the tick, one second per 1000 ms.
void manual_clock_install(uint32_t start_tick);
void manual_clock_on_sleep(void (*hook)(uint32_t slept_ms));
uint64_t manual_clock_elapsed_ms();
void manual_clock_remove();

// How a stage's run ended, and the exit status main would give it.
struct Ended {
    RunEnd end;
    StopKind kind;  // for RUN_STOPPED
    int status;
};
// Ends the run as main does (the close, the last message) and says how.
Ended end_as_main_does(const RunSettings& settings, const RunOutcome& outcome);

// Sends stderr into a memory buffer until console_capture_end, which
// returns the text written meanwhile (NUL-terminated, cut at capacity).
constexpr size_t CONSOLE_CAPTURE_CAPACITY = 1 << 20;
void console_capture_begin();
const char* console_capture_end(size_t* length);

}  // namespace harness
