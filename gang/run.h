// One run of fwld on a port, as its event stream tells it: the stream cut
// into lines, each line read into an event, the events into the run's
// state, and at the end its result record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "json.h"

// Where a run stands, as its stage events say, and where it ended.
enum Stage {
    STAGE_STARTING,  // no stage event yet
    STAGE_POWER_ON,  // waking the target
    STAGE_LOADER,    // the target answered
    STAGE_ERASE,     // the erase countdown after the target's first 'H'
    STAGE_PROGRAM,
    STAGE_DONE,  // every record went out (an end event's stage only)
};

// "power-on" ... "done" as the stream spells them; nullptr for STARTING.
const char* stage_word(Stage stage);

constexpr size_t EVENT_LINE_MAX = 64 * 1024;  // fwld's longest line, the end event

// What the end event (the run's result record) says, or without one what
// fwld-gang knows of the run.
struct RunResult {
    bool known;  // an end event came
    Stage stage;
    std::string outcome;  // "finished", "target-error", ...
    int64_t exit_status;
    std::string message;
    int64_t bytes_sent;  // -1: not known
    int64_t records_sent;
    uint32_t seconds_ms;     // the run's time
    int64_t board_ms;        // from the target's answer to the end; -1: it never answered
    Json record;             // the record's members (null without one)
};

enum RunEventKind {
    RUN_EVENT_STAGE,
    RUN_EVENT_PROGRESS,
    RUN_EVENT_TEXT,  // the target's message, its flash type, a notice: shown as is
    RUN_EVENT_END,
    RUN_EVENT_LINES,  // an RS sequence has run; text: "entry" or "exit"
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
    std::string text;  // on one line: control characters made blanks
    RunResult result;
};

// One line of the stream (its line end left out). False when it is no
// event: not a JSON object, or without "event" and "t".
bool read_run_event(const char* line, size_t length, RunEvent* event);

// The stream cut into lines. A line too long to keep is dropped whole.
struct EventLines {
    std::string line;
    bool ready;  // `line` holds a whole line
    bool overlong;
};
// Takes bytes up to the end of the first whole line and returns how many;
// then `ready` says whether `line` holds it. The next call starts a new one.
size_t event_lines_feed(EventLines* lines, const unsigned char* bytes, size_t count);

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
    uint32_t stage_ms;   // when the stage began, on fwld-gang's clock
    bool lines_reset;    // the entry sequence of the lines (RS) has run
    bool answered;       // the target answered (the loader stage began)
    uint32_t answered_t_ms;  // then, on fwld's clock
    int percent;         // of the program stage; -1: none yet
    int64_t bytes;
    int64_t total;
    int64_t records;
    // The first and latest progress, for the rate.
    bool progressed;
    uint32_t first_progress_ms;
    int64_t first_bytes;
    int64_t first_records;
    uint32_t last_progress_ms;
    std::string message;  // the last thing worth showing
    RunResult result;
    ChildEnd end;
};

void run_start(PortRun* run, uint32_t now_ms);
// True when the event changed the stage.
bool run_event(PortRun* run, const RunEvent& event);
// fwld has exited. Without an end event, the result says how it ended.
void run_child_ended(PortRun* run, ChildEnd end, uint32_t now_ms);
// fwld could not be started at all.
void run_not_started(PortRun* run, const std::string& reason, uint32_t now_ms);

// What the table shows of a run.
struct RunFigures {
    int percent;            // -1: none
    double records_per_s;   // < 0: not known yet; 0 while stalled
    int32_t seconds_left;   // -1: not known
    int32_t stage_seconds;  // in the current stage
    uint32_t elapsed_ms;
};

// A record that has not come for this long stalls the row's rate.
constexpr uint32_t STALL_MS = 2000;

RunFigures run_figures(const PortRun& run, uint32_t now_ms);
