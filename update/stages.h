// The stages of one run, in the order main calls them. Each takes the
// settings read-only and the open files and port it needs; a failure ends
// the process through fatal_stop.
#pragma once
#include <cstdint>
#include <cstdio>

#include "settings.h"

struct RunFiles {
    int loader_fd;        // read unbuffered
    FILE* program;        // buffered, "rb"
    int32_t loader_size;
    int32_t program_size;
};

// Opens both input files, checks the program file's framing, opens and
// configures the port, echoes the settings and asks for target power.
void start_run(const RunSettings& settings, RunFiles* files);

// Wakes the target and sends "Loader".
void wake_target(const RunSettings& settings);

// Sends the loader file and its end marker, then waits for the drain.
void send_loader(const RunSettings& settings, const RunFiles& files);

// Streams the program records under the target's commands and closes the
// run. Returns the process exit status: 0 finished, 1 interrupted.
int send_program(const RunSettings& settings, RunFiles* files);

// Closes the port, then stops with the message.
[[noreturn]] void stop_with_port_closed(const RunSettings& settings, const char* message);
