// For binaries that run fwld's stages in-process over the memory device
// (fuzzers, scripted-peer tests): a clock the harness drives, a guarded run
// that regains control when the run ends the process, and the console
// captured in memory.
#pragma once
#include <cstddef>
#include <cstdint>

namespace harness {

// A clock that moves only when the run sleeps: each sleep advances it and
// then gives the hook a turn, which is where the scripted world acts while
// fwld waits. The calendar follows the tick, one second per 1000 ms.
void manual_clock_install(uint32_t start_tick);
void manual_clock_on_sleep(void (*hook)(uint32_t slept_ms));
uint64_t manual_clock_elapsed_ms();
void manual_clock_remove();

// How a guarded run came back: through its own return, or through
// end_process (fatal stop, key during the wake-up) with that status.
struct RunOutcome {
    bool ended_process;
    int status;
};
// Runs body(context). The body must keep no objects with destructors
// between here and the end of the run: an ended run jumps back over it.
RunOutcome run_guarded(int (*body)(void* context), void* context);

// Sends stderr into a memory buffer until console_capture_end, which
// returns the text written meanwhile (NUL-terminated, cut at capacity).
constexpr size_t CONSOLE_CAPTURE_CAPACITY = 1 << 20;
void console_capture_begin();
const char* console_capture_end(size_t* length);

}  // namespace harness
