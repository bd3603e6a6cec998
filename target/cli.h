// Command line of fwld-target: options to TargetConfig, and the summary it
// prints at the end.
#pragma once
#include <string>
#include <vector>

#include "record_list.h"
#include "sim_target.h"

namespace sim {

struct CliOptions {
    TargetConfig config;
    std::string expect_file;  // compare the received records with this program record file
    std::string digest_file;  // only print this file's records, bytes and digest
    int timeout_s = 0;        // give up after this long; 0: wait for the tool
    bool quiet = false;       // no event lines on stderr
    bool help = false;
};

// args without the program name. False with *error on a bad command line.
bool parse_command_line(const std::vector<std::string>& args, CliOptions* out, std::string* error);
std::string usage_text();

// $FWLD_MODEM_LINES as the lines folder when --lines-dir gave none (pty only).
void lines_folder_from_environment(CliOptions* options);

// C-style escapes for texts given on the command line: \n \r \t \\ \0 \xHH.
bool unescape(const std::string& text, std::string* out);

// The end-of-run lines: records, bytes, digest, details and the verdict.
std::string summary_text(const TargetReport& report, const RecordList* expected);
// A board counts as good: intact (and matching), or taken out mid-update as
// scripted with what had arrived right.
bool board_ok(const TargetReport& report, const RecordList* expected);
// A fixture: "board: B" and the board's summary, for each board that came
// in, then one "fixture:" line with the counts.
std::string fixture_summary_text(const std::vector<TargetReport>& reports, int boards, const RecordList* expected);

}  // namespace sim
