// fwld-gang's portable logic: its command line, the program file's layout
// (to turn fwld's percentage into records and bytes), one state machine per
// port fed with that port's fwld console output, and the text it shows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

constexpr int GANG_PORTS_MAX = 32;
constexpr int GANG_TEXT_MAX = 256;     // a port name, a p5, a path
constexpr int GANG_MESSAGE_MAX = 160;  // a message as shown and summed up

// ---- command line ----

struct GangArgs {
    const char* log_dir;  // --logs DIR; nullptr: a directory named after the start time
    int port_count;
    char ports[GANG_PORTS_MAX][GANG_TEXT_MAX];
    char* const* fwld_args;  // everything after "--": infile1 infile2 p1 ... options
    int fwld_arg_count;
};

// fwld's arguments after its two files: p5 is the seventh.
constexpr int FWLD_P1_INDEX = 2;
constexpr int FWLD_P5_INDEX = 6;

enum GangRequest { GANG_RUN, GANG_HELP, GANG_VERSION, GANG_REFUSED };

// Reads fwld-gang's command line. On GANG_REFUSED, `refusal` says why.
// Ports may come as one comma-separated list or as several words.
GangRequest parse_gang_args(int argc, char** argv, GangArgs* args, char* refusal, size_t size);

// A port given by number, "N" or "COMn" in any case, as fwld reads it.
bool numbered_port(const char* port, long* number);

// fwld's p5 for one port: the `@` at its start replaced by the port.
bool substitute_port(const GangArgs& args, int port, char* p5, size_t size);

// The erase wait fwld will count (p1, default 125 s), for the time left.
int32_t erase_wait_seconds(const GangArgs& args);

// The file name of each port's log (without the directory): the port with
// everything but letters, digits, '-', '.' and '_' made '_', a leading
// "/dev/" or "\\.\" dropped, and -2, -3 ... added where two would collide.
void log_file_names(const GangArgs& args, char names[][GANG_TEXT_MAX]);

// fwld-gang-YYYYMMDD-HHMMSS for the given local time.
void default_log_dir(const struct tm& start, char* out, size_t size);

// Windows command line rules: one argument appended to `line`, quoted so
// that the C runtime of the child reads it back unchanged. False when it
// does not fit.
bool append_quoted_argument(char* line, size_t size, const char* argument);

// ---- the program file ----

// fwld prints "NNN % completed." over the file's size; the percentage can
// pass 100 for a file under 200 bytes.
constexpr int PERCENT_STEPS = 200;

struct ProgramLayout {
    bool known;  // the file was read; else only fwld's percentage is shown
    int64_t file_size;
    int32_t record_count;  // the E record included
    int64_t record_bytes;  // what fwld sends: each record's type, count and data bytes
    // At the first line that shows percentage p: records and bytes sent so far.
    int32_t records_at[PERCENT_STEPS];
    int64_t bytes_at[PERCENT_STEPS];
};

// Reads the record layout as fwld does: 'S', a count, that many bytes, or
// 'E'; anything else between records is skipped. False (layout unknown)
// when the file does not open or a record is cut short or too long.
bool read_program_layout(FILE* file, ProgramLayout* layout);

// ---- one port ----

enum Stage {
    STAGE_STARTING,  // banner and settings
    STAGE_POWER_ON,  // "TARGET POWER ON.": waiting for the target
    STAGE_LOADER,
    STAGE_ERASE,  // the erase wait after the target's first 'H'
    STAGE_PROGRAM,
    STAGE_DONE,
    STAGE_FAILED,
    STAGE_STOPPED,  // ended by a key (or Ctrl-C) from fwld-gang
};

const char* stage_name(Stage stage);

enum EndKind { END_EXIT, END_CTRL_C, END_SIGNAL };
struct ChildEnd {
    EndKind kind;
    long code;  // exit status, or the signal
};

constexpr int LINE_KEEP = 200;  // of one console line; the rest is not needed

struct PortState {
    Stage stage;
    uint32_t started_ms;
    uint32_t ended_ms;
    bool ended;

    // The console line being received: the part after its last '\r'.
    char segment[LINE_KEEP + 1];
    int segment_length;

    // What the console said last, as shown on the port's line.
    char message[GANG_MESSAGE_MAX];
    // The first line of the text after the last blank or overwritten line,
    // and whether anything came after that text: a fatal stop's message.
    char stop_message[GANG_MESSAGE_MAX];
    bool after_separator;
    bool stop_message_current;
    bool finished_said;
    bool interruption_said;

    int percent;            // of the current stage; -1: none yet
    int32_t erase_elapsed;  // seconds, while in STAGE_ERASE
    // The transfer's first and latest percentages and when each came.
    int first_percent;
    uint32_t first_percent_ms;
    int last_percent;
    uint32_t last_percent_ms;
};

void port_state_start(PortState* state, uint32_t now_ms);
// Feeds console bytes as they come, up to the end of the first line that
// changes the stage. Returns how many it took.
size_t port_state_feed(PortState* state, const unsigned char* bytes, size_t count, uint32_t now_ms);
// fwld has ended; `key_sent`: fwld-gang asked it to stop.
void port_state_end(PortState* state, ChildEnd end, bool key_sent, uint32_t now_ms);
// The port's fwld could not be started.
void port_state_not_started(PortState* state, const char* reason, uint32_t now_ms);

// ---- figures and text ----

struct PortFigures {
    int percent;           // -1: none
    double records_per_s;  // < 0: not known yet
    int32_t seconds_left;  // -1: not known
    int64_t bytes_sent;    // program record bytes, as far as the percentage shows
    uint32_t elapsed_ms;
};

PortFigures port_figures(const PortState& state, const ProgramLayout& layout, int32_t erase_wait_s, uint32_t now_ms);

// One line of the live table (no line end).
void render_header(int port_width, char* out, size_t size);
void render_port_line(const char* port, int port_width, const PortState& state, const PortFigures& figures, char* out,
                      size_t size);
// "PORT: stage" for output that is not a terminal, with a line end.
void render_stage_line(const char* port, const PortState& state, const PortFigures& figures, char* out, size_t size);
// The summary: a header, a line per port, a closing count.
void render_summary_header(int port_width, char* out, size_t size);
void render_summary_line(const char* port, int port_width, const PortState& state, const PortFigures& figures,
                         char* out, size_t size);
// How wide the port column must be for these names (capped).
int port_column_width(const GangArgs& args);
