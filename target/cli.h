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

// C-style escapes for texts given on the command line: \n \r \t \\ \0 \xHH.
bool unescape(const std::string& text, std::string* out);

// The end-of-run lines: records, bytes, digest, details and the verdict.
std::string summary_text(const TargetReport& report, const RecordList* expected);

}  // namespace sim
