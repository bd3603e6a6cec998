// The stages of one run, in the order main calls them. Each takes the
// settings read-only and the open files and port it needs; a failure ends
// the process through fatal_stop.
#pragma once
#include <cstdint>
#include <cstdio>

#include "program_reader.h"
#include "settings.h"

struct RunFiles {
    int loader_fd;        // read unbuffered
    FILE* program;        // buffered, "rb"
    int32_t loader_size;
    int32_t program_size;
    ProgramFingerprint program_checked;  // what the pre-flight check read
};

// Opens both input files, checks the program file's framing, opens and
// configures the port, echoes the settings and asks for target power.
void start_run(const RunSettings& settings, RunFiles* files);

// Wakes the target and sends "Loader".
void wake_target(const RunSettings& settings);

// Sends the loader file and its end marker, then waits for the drain. A
// line that fails on the way stops the run (stop_loader_lost).
void send_loader(const RunSettings& settings, const RunFiles& files);

// Streams the program records under the target's commands and closes the
// run. Returns the process exit status: 0 finished, 1 interrupted. Reports
// the finish only when every record went out whole on a line still there
// after the last drain, and the file was the one checked at the start.
int send_program(const RunSettings& settings, RunFiles* files);

// Closes the port, then stops with the message.
[[noreturn]] void stop_with_port_closed(const RunSettings& settings, const char* message);
// Sets the line to the speed: at the start (p5), or the one the target asked
// for and has switched to. A port that answers and refuses the speed stops
// the run with the rate and the system's reason: after a switch nothing can
// arrive intact.
void configure_speed(const RunSettings& settings, int32_t baud, bool target_switched);
// A write failed between the acknowledgement and the loader's drain: an
// interruption when a key gave it up, else the loader is lost.
[[noreturn]] void stop_loader_write_failed(const RunSettings& settings);
// The line failed between "Loader" and the drain of the end marker: the
// target has no whole loader and nothing can resume it.
[[noreturn]] void stop_loader_lost(const RunSettings& settings);
