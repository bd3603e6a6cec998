// fwld-gang's portable logic: its command line, the event stream each fwld
// writes (read line by line into a run's state), the station's rules for
// which run is a board and when a port starts again, the records it keeps,
// and the text it shows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr int GANG_PORTS_MAX = 32;
constexpr int GANG_TEXT_MAX = 256;     // a port name, a p5, a path
constexpr int GANG_MESSAGE_MAX = 160;  // a message as shown and summed up

// ---- command line ----

struct GangArgs {
    const char* log_dir;  // --logs DIR; nullptr: a directory named after the start time
    bool station;         // --station, or --watch: board after board
    const char* watch;    // --watch PATTERN; nullptr: the ports are given
    int port_count;
    char ports[GANG_PORTS_MAX][GANG_TEXT_MAX];
    char* const* fwld_args;  // everything after "--": infile1 infile2 p1 ... options
    int fwld_arg_count;
};

// fwld's arguments after its two files: p1 is the third, p5 the seventh.
constexpr int FWLD_P1_INDEX = 2;
constexpr int FWLD_P5_INDEX = 6;
constexpr int FWLD_P6_INDEX = 7;

enum GangRequest { GANG_RUN, GANG_HELP, GANG_VERSION, GANG_REFUSED };

// Reads fwld-gang's command line. On GANG_REFUSED, `refusal` says why.
// Ports may come as one comma-separated list or as several words.
GangRequest parse_gang_args(int argc, char** argv, GangArgs* args, char* refusal, size_t size);

// A port given by number, "N" or "COMn" in any case, as fwld reads it.
bool numbered_port(const char* port, long* number);

// The port's name without a trailing ":BAUD", as fwld reads a device name.
void port_without_baud(const char* port, char* out, size_t size);

// fwld's p5 for a port: the `@` at its start replaced by the port.
bool substitute_port(const GangArgs& args, const char* port, char* p5, size_t size);

// fwld's command line for one port, argv[0] the program: the user's
// arguments, p5 for the port, p6 added when left out (fwld's own default,
// 0) so that the event stream's option stands after it, and a place for
// that option. Returns the place's index; -1 when `size` is too small.
int fwld_command_line(const GangArgs& args, const char* program, char* p5, char** argv, int size);

// The file name of a port's log (without the directory): the port with
// everything but letters, digits, '-', '.' and '_' made '_', a leading
// "/dev/" or "\\.\" dropped, and -2, -3 ... added where it would collide
// with one of the `taken` names before it.
void log_file_name(const char* port, char taken[][GANG_TEXT_MAX], int taken_count, char* out);

// fwld-gang-YYYYMMDD-HHMMSS for the given local time.
void default_log_dir(const struct tm& start, char* out, size_t size);

// Windows command line rules: one argument appended to `line`, quoted so
// that the C runtime of the child reads it back unchanged. False when it
// does not fit.
bool append_quoted_argument(char* line, size_t size, const char* argument);

// `*` any run of characters, `?` one; letters in any case when asked. For
// names the system lists (COM3), not paths.
bool name_matches(const char* pattern, const char* name, bool any_case);

// ---- fwld's event stream ----

// Where a run stands, as its stage events say, and where it ended.
enum Stage {
    STAGE_STARTING,  // no stage event yet
    STAGE_POWER_ON,  // waking the target
    STAGE_LOADER,
    STAGE_ERASE,  // the erase countdown after the target's first 'H'
    STAGE_PROGRAM,
    STAGE_DONE,  // every record went out (an end event's stage only)
};

// "power-on" ... "done" as the stream spells them; nullptr for STARTING.
const char* stage_word(Stage stage);

constexpr size_t EVENT_LINE_MAX = 64 * 1024;  // fwld's longest line, the end event
constexpr int OUTCOME_MAX = 24;

// What the end event (the run's result record) says.
struct RunResult {
    bool known;  // an end event came; else the rest is fwld-gang's own account
    Stage stage;
    char outcome[OUTCOME_MAX];  // "finished", "target-error", ...
    int64_t exit_status;
    char message[GANG_MESSAGE_MAX];
    int64_t bytes_sent;  // -1: not known
    int64_t records_sent;
    uint32_t seconds_ms;  // the run's time
};

enum RunEventKind {
    RUN_EVENT_STAGE,
    RUN_EVENT_PROGRESS,
    RUN_EVENT_TEXT,  // the target's message, its flash type, a notice: shown as is
    RUN_EVENT_END,
    RUN_EVENT_OTHER,  // speed, reopen, or a kind this fwld-gang does not know
};

struct RunEvent {
    RunEventKind kind;
    uint32_t t_ms;  // since fwld started
    Stage stage;
    int64_t bytes;
    int64_t total;
    int64_t records;
    int percent;
    char text[GANG_MESSAGE_MAX];
    RunResult result;
};

// One line of the stream (its line end left out). False when it is no
// event: not a JSON object, or without "event" and "t".
bool read_run_event(const char* line, size_t length, RunEvent* event);

// The stream cut into lines. A line too long to keep is dropped whole.
struct EventLines {
    char line[EVENT_LINE_MAX];
    size_t length;
    bool ready;  // `line` holds a whole line
    bool overlong;
};
// Takes bytes up to the end of the first whole line and returns how many;
// then `ready` says whether `line` holds it. The next call starts a new one.
size_t event_lines_feed(EventLines* lines, const unsigned char* bytes, size_t count);

// The board's line for results.jsonl: the end event's members, "event"
// and "t" left out, then "board". Its length with the line feed; 0 when it
// does not fit.
size_t results_line(const char* end_line, size_t length, int board, char* out, size_t size);

// ---- one run ----

enum EndKind { END_EXIT, END_CTRL_C, END_SIGNAL };
struct ChildEnd {
    EndKind kind;
    long code;  // exit status, or the signal
};

struct PortRun {
    uint32_t started_ms;  // fwld-gang's clock; fwld's own `t` counts from about here
    bool ended;           // fwld has exited
    uint32_t ended_ms;
    bool any_event;
    Stage stage;
    uint32_t stage_ms;  // when the stage began, on fwld-gang's clock
    int percent;        // of the program stage; -1: none yet
    int64_t bytes;
    int64_t total;
    int64_t records;
    // The first and latest progress, for the rate.
    bool progressed;
    uint32_t first_progress_ms;
    int64_t first_bytes;
    int64_t first_records;
    uint32_t last_progress_ms;
    char message[GANG_MESSAGE_MAX];  // the last thing worth showing
    RunResult result;
    ChildEnd end;
};

void run_start(PortRun* run, uint32_t now_ms);
// True when the event changed the stage.
bool run_event(PortRun* run, const RunEvent& event);
// fwld has exited. Without an end event, the result says how it ended.
void run_child_ended(PortRun* run, ChildEnd end, uint32_t now_ms);
// fwld could not be started at all.
void run_not_started(PortRun* run, const char* reason, uint32_t now_ms);

// ---- the station's rules ----

enum Verdict {
    VERDICT_NO_BOARD,  // ended before the target answered: no board was there
    VERDICT_FINISHED,
    VERDICT_FAILED,
    VERDICT_STOPS_STATION,  // no run with these arguments can ever update a board
};

// Without --station every run is its port's one board. `stopping`: the
// station is being stopped, which may end a fwld before it said anything.
Verdict judge_run(const PortRun& run, bool station, bool stopping);

// A failed board ended by a key or a signal rather than by what it met.
bool run_was_stopped(const PortRun& run);

struct PortTally {
    int boards;
    int finished;
    int failed;
    int stopped;  // of the failed
    uint64_t seconds_ms;  // summed over the boards, for the mean
    Verdict last;  // of the last board; VERDICT_NO_BOARD while there is none
    RunResult last_result;
};

// Counts a run's board; returns its number on the port (from 1), 0 when
// the run was no board.
int tally_run(PortTally* tally, const PortRun& run, Verdict verdict);

// When a port starts fwld again.
struct PortSchedule {
    bool running;
    bool present;        // its device, as last looked at
    uint64_t device;     // which device that was, 0 if not known
    bool gone;           // seen gone since its last run ended
    bool needs_return;   // --watch: a board ended; not again until its device has gone and come back
    bool paused;         // a run ended at power-on on its own
    uint32_t paused_until;
};

constexpr uint32_t RESTART_PAUSE_MS = 1000;

// A device other than the one seen last under the port's name was
// unplugged and plugged in between two looks.
void schedule_presence(PortSchedule* schedule, bool present, uint64_t device);
void schedule_run_started(PortSchedule* schedule);
void schedule_run_ended(PortSchedule* schedule, Verdict verdict, bool by_station_stop, bool watch, uint32_t now_ms);
bool schedule_may_start(const PortSchedule& schedule, uint32_t now_ms);
// A run still waking a board whose device has gone (or was swapped for
// another) wakes nothing: the station ends it and starts afresh when the
// device is there, so that the next board gets a whole wake-up.
bool schedule_should_end_run(const PortSchedule& schedule, Stage stage);

// results.jsonl's line for a run that ended without its result record:
// what fwld-gang knows of it, in the record's words.
size_t results_line_without_record(const char* p5, const PortRun& run, int board, char* out, size_t size);

// DIR/summary.json's text, with its line feed; 0 when it does not fit.
size_t summary_json(const char* const* ports, const PortTally* tallies, int count, uint32_t seconds_ms, char* out,
                    size_t size);

// ---- figures and text ----

struct RunFigures {
    int percent;           // -1: none
    double records_per_s;  // < 0: not known yet
    int32_t seconds_left;  // -1: not known
    int32_t stage_seconds; // in the current stage
    uint32_t elapsed_ms;
};

RunFigures run_figures(const PortRun& run, uint32_t now_ms);

// What a port is doing, beyond its run's stage.
enum PortPhase {
    PHASE_RUNNING,
    PHASE_ENDED,    // its run has ended, nothing follows (or the station stopped)
    PHASE_ABSENT,   // the station waits for its device
    PHASE_WAITING,  // the station waits: for a pause, or for its board to be taken out
};

struct PortView {
    const char* port;
    const PortRun* run;
    const PortTally* tally;
    PortPhase phase;
};

// One line of the live table (no line end).
void render_header(bool station, int port_width, char* out, size_t size);
void render_port_line(bool station, const PortView& view, int port_width, uint32_t now_ms, char* out, size_t size);
// For output that is not a terminal, with a line end: "PORT: loader"...
void render_stage_line(const char* port, const PortRun& run, char* out, size_t size);
// ... and how a run ended: "PORT: finished in 12.3 s, ..."; with `board`
// above 0, "PORT: board 3 finished in ...".
void render_end_line(const char* port, const PortRun& run, int board, char* out, size_t size);
// The summary: a header, a line per port, a closing count.
void render_summary_header(bool station, int port_width, char* out, size_t size);
void render_summary_line(bool station, const PortView& view, int port_width, char* out, size_t size);
void render_closing_line(const PortTally* tallies, int count, const char* log_dir, char* out, size_t size);
// How wide the port column must be for these names (capped).
int port_column_width(const char* const* ports, int count);
