// Run settings: everything one run takes from its command line.
#pragma once
#include <cstdint>

#include "port.h"

constexpr int PASSWORD_MAX = 31;

// Option RS: what the run does with the adapter's DTR and RTS lines, a
// sequence of steps before the wake-up (entry) and one after a finished
// update (exit).
constexpr int LINE_STEPS_MAX = 16;
constexpr int LINE_WAIT_MAX_MS = 60000;
constexpr int LINE_SEQUENCE_TEXT_MAX = 128;
enum LineStepKind : uint8_t { STEP_DTR_ON, STEP_DTR_OFF, STEP_RTS_ON, STEP_RTS_OFF, STEP_WAIT };
struct LineStep {
    LineStepKind kind;
    uint16_t wait_ms;  // STEP_WAIT
};
struct LineSequence {
    int count;
    LineStep steps[LINE_STEPS_MAX];
    char text[LINE_SEQUENCE_TEXT_MAX];  // as given, for the event stream
};

struct RunSettings {
    const char* loader_path;
    const char* program_path;
    int32_t erase_wait;          // seconds after the target's first 'H'
    int32_t write_wait;          // milliseconds after each program record
    int32_t password_interval;   // milliseconds between passwords
    int32_t target_id;
    int32_t port_number;
    int32_t baud_rate;
    int32_t new_wait;            // milliseconds of the pause the target asks for
    int32_t loader_pacing_wait;  // milliseconds after each group of loader records
    int32_t loader_pacing_group; // loader records per group; 0: no pacing
    const char* erase_list;      // text sent on 'Z'
    char password[PASSWORD_MAX + 1];
    char port_path[PORT_PATH_MAX];  // device named directly; "" for a numbered port
    const char* trace_path;      // option TR: the line traffic is appended here; nullptr: no trace
    const char* log_path;        // option LG: one line of JSON per run is appended here; nullptr: none
    const char* event_path;      // option EV: the run's events, a line of JSON each; nullptr: none
    const char* port_text;       // p5 as given; nullptr when absent
    int32_t silence_limit;       // option TO: seconds a silent target is waited for; 0: for ever
    bool removal_ends_run;       // option RM: a board whose device goes after it answered ends the run
    const char* lines_text;      // option RS as given after the two letters; nullptr: the lines are left alone
    LineSequence lines_entry;    // before the reset sentence
    LineSequence lines_exit;     // after a finished update
};

// What fwld tells of a command line it takes but may read otherwise than it
// was meant: a parameter that is not a whole number, an unknown option.
// Printed as "Note: ..." lines before anything is opened.
constexpr int COMMAND_NOTES_MAX = 12;
constexpr int COMMAND_NOTE_SIZE = 224;
struct CommandNotes {
    int count;
    char lines[COMMAND_NOTES_MAX][COMMAND_NOTE_SIZE];
};
void print_command_notes(const CommandNotes& notes);
// parse_command_line with its words on the console: the refusal framed as a
// fatal stop, else the notes. False when refused; `notes` (when given)
// gets how many notes were said.
bool read_command_line(int argc, char** argv, RunSettings* settings, int* notes);

// Scans a signed decimal number as "%ld" would (leading blanks and a sign,
// stops at the first non-digit). Returns the position after it, or nullptr
// when there is no number or it does not fit in 32 bits.
const char* scan_decimal(const char* text, int32_t* value);

// Banner on stderr, usage on stdout: printed on every start.
void print_banner_and_usage();

// A lone --help, -h, --version or --list asks for information instead of an
// update.
enum InfoRequest { NO_INFO_REQUEST, HELP_REQUEST, VERSION_REQUEST, LIST_REQUEST, CHECK_REQUEST };
// --check in front of a run's arguments asks only whether a run would take
// them (CHECK_REQUEST); argv[1] is then "--check".
InfoRequest info_request(int argc, char** argv);
// The banner's version line, on stdout.
void print_version();
// What --help adds after the usage text, on stdout: every option, the port
// forms and the exit statuses.
void print_help();

// Fills the settings from the command line. Returns nullptr when they are
// usable, else the message of the fatal stop that refuses them. What it
// took otherwise than it may have been meant goes to notes (when given).
const char* parse_command_line(int argc, char** argv, RunSettings* settings, CommandNotes* notes = nullptr);
