// The stages of one run, in the order run_stages calls them. Each takes the
// settings read-only and the open files and port it needs, and returns how
// it ended; none ends the process.
#pragma once
#include <cstdint>
#include <cstdio>

#include "outcome.h"
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
RunOutcome start_run(const RunSettings& settings, RunFiles* files);
// Opens both input files and checks the program file: what a run refuses
// before it touches a port.
RunOutcome check_inputs(const RunSettings& settings, RunFiles* files);
// fwld --check: the command line (argv[0] the word before infile1) and both
// files as a run would take them, without a port, a log or the banner.
// 0 when a run would take them without a word (not even a note), else 1.
int check_arguments(int argc, char** argv);

// Wakes the target and sends "Loader".
RunOutcome wake_target(const RunSettings& settings);

// Sends the loader file and its end marker, then waits for the drain.
RunOutcome send_loader(const RunSettings& settings, const RunFiles& files);

// Streams the program records under the target's commands. RUN_FINISHED
// only when every record went out whole on a line still there after the
// last drain, and the file was the one checked at the start.
RunOutcome send_program(const RunSettings& settings, RunFiles* files);

// The whole run from the start, stage after stage while each goes on.
RunOutcome run_stages(const RunSettings& settings, RunFiles* files);

// The end of every run: the port closed, the last message written, in the
// order the ending asks for. Returns the exit status.
int end_run(const RunSettings& settings, const RunOutcome& outcome);

// Sets the line to the speed: at the start (p5), or the one the target asked
// for and has switched to. A port that answers and refuses the speed stops
// the run with the rate and the system's reason: after a switch nothing can
// arrive intact.
RunOutcome configure_speed(const RunSettings& settings, int32_t baud, bool target_switched);
// A write failed between the acknowledgement and the loader's drain: an
// interruption when a key gave it up, else the loader is lost.
RunOutcome loader_write_failed(int port);
// The line failed between "Loader" and the drain of the end marker: the
// target has no whole loader and nothing can resume it (or, with RM, the
// board has gone).
RunOutcome loader_lost(int port);
