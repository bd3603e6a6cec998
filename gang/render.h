// What fwld-gang shows: the live table that fits its terminal, the plain
// lines for output that is not a terminal, and the summary.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "run.h"

class Station;

// For output that is not a terminal, each with its line end: "PORT: loader"...
std::string render_stage_line(const std::string& port, const PortRun& run, bool lines_reset);
// ... and how a run ended: "PORT: finished in 12.3 s, ..."; with `board`
// above 0, "PORT: board 3 finished in ...".
std::string render_end_line(const std::string& port, const PortRun& run, int board);

// The table as lines without line ends, each shorter than `width` and at
// most `height` - 1 of them, so that it is redrawn in place and never
// scrolls: a header, a row per port that fits (the selected one among
// them), one line counting the rows that do not, and the status.
std::vector<std::string> render_table(const Station& station, int width, int height, uint32_t now);

// The summary, each line with its line end: a header, a line per port, the
// closing count.
std::vector<std::string> render_summary(const Station& station, const std::string& log_dir);
