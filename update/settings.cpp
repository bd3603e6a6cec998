// Command line: positional parameters p1..p6 after the two files, then
// options. Anything that does not scan keeps its default.
#include <cstdio>
#include <cstring>

#include "console.h"
#include "settings.h"

namespace {

const char* const usage_lines[] = {
    "fwld infile1 infile2 p1 p2 p3 p4 p5 p6 p7\n",
    "p1: Deletion waiting time.\n",
    "p2: Waiting time to write.\n",
    "p3: Password output interval.\n",
    "p4: ID number.\n",
    "p5: Port number.(1,2...)[:Baudrate.]\n",
    "p6: New wait time to write.\n",
    "p7: Other options.\n",
    "    LD[t]/[r]: t/r:Loader sending wait Time[ms]/Records.\n",
    "    ES[s]    : s  :ROM erase sectors.\n",
};

void scan_into(const char* text, int32_t* field) {
    int32_t value = 0;
    if (scan_decimal(text, &value) != nullptr) *field = value;
}

void build_password(RunSettings* s) {
    if (s->target_id != 0) {
        std::snprintf(s->password, sizeof s->password, "Wake up now%d", static_cast<int>(s->target_id));
    } else {
        std::snprintf(s->password, sizeof s->password, "Wake up now.");
    }
}

bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}

// "PATH[:BAUD]": the baud is the text after the last ':' when it is all
// digits; device names of their own may contain colons.
const char* parse_port_path(const char* text, RunSettings* s) {
    const char* colon = std::strrchr(text, ':');
    size_t path_length = std::strlen(text);
    if (colon != nullptr && all_digits(colon + 1)) {
        scan_into(colon + 1, &s->baud_rate);
        path_length = static_cast<size_t>(colon - text);
    }
    if (path_length >= sizeof s->port_path) return "p5 names a device path that is too long.";
    std::memcpy(s->port_path, text, path_length);
    s->port_path[path_length] = '\0';
    return nullptr;
}

// "N" or "N:BAUD" as "%d:%d" scans it: the baud only after a port number.
const char* parse_port(const char* text, RunSettings* s) {
    if (std::strchr(text, '/') != nullptr) return parse_port_path(text, s);
    const char* rest = scan_decimal(text, &s->port_number);
    if (rest != nullptr && *rest == ':') scan_into(rest + 1, &s->baud_rate);
    return nullptr;
}

void parse_loader_pacing(const char* text, RunSettings* s) {
    const char* rest = scan_decimal(text, &s->loader_pacing_wait);
    if (rest != nullptr && *rest == '/') scan_into(rest + 1, &s->loader_pacing_group);
}

void parse_option(const char* option, RunSettings* s) {
    if (std::strncmp(option, "LD", 2) == 0) parse_loader_pacing(option + 2, s);
    if (std::strncmp(option, "ES", 2) == 0) s->erase_list = option + 2;
}

// A negative wait would become a wait of about 49.7 days on the unsigned
// millisecond tick, and a baud rate of 0 hangs the line up.
const char* check_ranges(const RunSettings* s) {
    if (s->write_wait < 0) return "p2 (waiting time to write) must not be negative.";
    if (s->password_interval < 0) return "p3 (password output interval) must not be negative.";
    if (s->baud_rate <= 0) return "p5 baud rate must be a positive number.";
    if (s->new_wait < 0) return "p6 (new wait time to write) must not be negative.";
    if (s->loader_pacing_wait < 0 || s->loader_pacing_group < 0)
        return "LD (loader sending wait time/records) must not be negative.";
    return nullptr;
}

}  // namespace

void print_banner_and_usage() {
    std::fputs("Program upload utility Version 8.00\n", stderr);
    std::fputs("  Rewrites a target's program memory over a serial line.\n"
               "  Written by the fwld developers.\n",
               stderr);
    for (const char* line : usage_lines) std::fputs(line, stdout);
    std::fflush(stdout);
}

const char* parse_command_line(int argc, char** argv, RunSettings* s) {
    if (argc < 3) return ".The number of input file is not sufficient.";
    *s = RunSettings{};
    s->loader_path = argv[1];
    s->program_path = argv[2];
    s->erase_wait = 125;
    s->write_wait = 2;
    s->password_interval = 100;
    s->port_number = 1;
    s->baud_rate = 9600;
    s->erase_list = "";
    build_password(s);

    if (argc >= 4) scan_into(argv[3], &s->erase_wait);
    if (argc >= 5) scan_into(argv[4], &s->write_wait);
    if (argc >= 6) scan_into(argv[5], &s->password_interval);
    if (argc >= 7) {
        scan_into(argv[6], &s->target_id);
        build_password(s);
    }
    if (argc >= 8) {
        const char* refusal = parse_port(argv[7], s);
        if (refusal != nullptr) return refusal;
    }
    if (argc >= 9) scan_into(argv[8], &s->new_wait);
    for (int i = 9; i < argc; ++i) parse_option(argv[i], s);
    return check_ranges(s);
}
