// The station: every rule of fwld-gang, without a process, a file or a
// clock of its own. It takes what happens (a look at the devices, a line
// of a run's event stream, its console text, a child's end, a key, Ctrl-C,
// a tick, the result of a write) with the time it happened, and answers
// with what to do (start a run, end one, write a line, redraw, say
// something), which main.cpp carries out on the platform.
#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "run.h"

// ---- which run was a board, and the tally of a port ----

enum Verdict {
    VERDICT_NO_BOARD,  // ended before the target answered: no board was there
    VERDICT_FINISHED,
    VERDICT_FAILED,
    VERDICT_STOPS_STATION,  // no run with these arguments can ever update a board
};

// Without --station every run is its port's one board. `stopping`: the
// station is ending the run, which may end a fwld before it said anything.
Verdict judge_run(const PortRun& run, bool station, bool stopping);

// A failed board ended by a key or a signal rather than by what it met.
bool run_was_stopped(const PortRun& run);

struct PortTally {
    int boards;
    int finished;
    int failed;
    int stopped;        // of the failed
    uint64_t board_ms;  // summed over the boards whose time is known, for the mean
    int timed;          // those boards
    RunResult last_result;  // of the last board
};

// Counts a run's board; returns its number on the port (from 1), 0 when
// the run was no board.
int tally_run(PortTally* tally, const PortRun& run, Verdict verdict);

// ---- when a port starts fwld again ----

struct PortSchedule {
    bool running;
    bool present;       // its device, as last looked at
    uint64_t device;    // which device that was, 0 if not known
    bool gone;          // seen gone since its last run ended
    bool needs_return;  // --watch: a board ended; not again until its device has gone and come back
    bool paused;        // a run ended at power-on on its own
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

// ---- the station ----

// Keys in a burst (each within this of the one before) are a barcode
// scanner's typing, not the operator's.
constexpr uint32_t KEY_BURST_MS = 50;
// How often a station looks for its devices; less often where the system
// tells it at once when a folder of them changes (inotify), since a look
// costs a path walk per port.
constexpr uint32_t LOOK_MS = 250;
constexpr uint32_t LOOK_NOTICED_MS = 1000;
// A port another program holds is tried again no sooner than this.
constexpr uint32_t BUSY_RETRY_MS = 5000;
// results.jsonl that could not be written is tried again this often.
constexpr uint32_t RESULTS_RETRY_MS = 2000;
// The table is redrawn at most this often while fwld reports, and this
// often for its clocks alone.
constexpr uint32_t REDRAW_MS = 250;
constexpr uint32_t CLOCK_REDRAW_MS = 1000;
// Console text held before fwld has opened its port, at most.
constexpr size_t HELD_OUTPUT_MAX = 64 * 1024;

inline constexpr char OPERATOR_ENDED[] = "Ended by the operator";

enum ActionKind {
    ACTION_START_RUN,     // `port`: start fwld for it in child `slot`; answer not_started() if it fails
    ACTION_END_RUN,       // `slot`: end this one run, the others untouched
    ACTION_PRESS_KEY,     // `slot`: the key that ends fwld, as an operator ends it alone
    ACTION_INTERRUPT,     // `slot`: end it as Ctrl-C does, or pass `signal` on
    ACTION_APPEND_LOG,    // `port`: `text` for the end of its log
    ACTION_CLOSE_LOG,     // `port`: its run has ended
    ACTION_WRITE_RESULT,  // `text`: the next line of results.jsonl, the file opened again by name first
                          // when `reopen`; answer results_written()
    ACTION_LOOK,          // look at the devices; answer look()
    ACTION_SAY,           // `text`: a line for output that is not a terminal
    ACTION_REDRAW,        // the table
};

struct Action {
    ActionKind kind;
    int port;
    int slot;
    int signal;
    bool reopen;
    std::string text;
};

// A device there now, by the name the station knows its port by.
struct DeviceSeen {
    std::string name;
    uint64_t identity;  // tells one device from the next under a name; 0: not known
};

// Who ended a run before it ended by itself.
enum EndedBy { ENDED_BY_NONE, ENDED_BY_STATION, ENDED_BY_OPERATOR };

// What a port is doing, beyond its run's stage.
enum PortPhase {
    PHASE_RUNNING,
    PHASE_ENDED,    // its run has ended, nothing follows (or the station stopped)
    PHASE_ABSENT,   // the station waits for its device
    PHASE_WAITING,  // the station waits: for a pause, or for its board to be taken out
    PHASE_BUSY,     // another program holds the port
    PHASE_PAUSED,   // the operator paused it
};

struct StationPort {
    std::string name;
    std::string p5;
    std::string log_name;
    PortRun run;
    PortTally tally;
    PortSchedule schedule;
    int slot;  // the child slot of its fwld; -1 when none runs
    bool ran;
    bool settled;
    Verdict verdict;
    EndedBy ended_by;
    bool busy;
    uint32_t busy_until;
    bool paused;  // by the operator
    bool listed;  // it has a row in the table
    // Console text held until fwld says it has the port: a port another
    // program holds gets one line in its log, not a banner for every try.
    bool holding_output;
    std::string held;
};

enum StopLevel {
    STOP_NONE,
    STOP_GENTLE,    // no new board; the boards begun finish
    STOP_NOW,       // every run ended as a key ends fwld
    STOP_AT_ONCE,   // every run ended as Ctrl-C ends fwld
};

struct StationSetup {
    bool station;            // board after board
    bool watch;              // the ports come and go with their devices
    bool table;              // the output is a live table (else plain lines)
    int slots;               // fwld at once, at most
    std::string p5_tail;     // p5 after its `@`: ":115200"
    std::string session;
    bool lines_reset = false;  // fwld resets each board through the adapter's lines (RS)
};

// The station's own line under the table.
struct StationStatus {
    uint32_t elapsed_ms;
    int ports;  // in the table
    int running;
    PortTally all;
    StopLevel stop;
    bool results_blocked;
    std::string results_reason;
    bool crowded;  // a device waits for a free slot
    int slots;
};

class Station {
public:
    explicit Station(StationSetup setup);

    // A port named on the command line, before start().
    void add_port(const std::string& name);
    // Without --station every port starts now; a station looks first.
    void start(uint32_t now);

    // ---- what happens ----
    void look(const std::vector<DeviceSeen>& present, uint32_t now);
    // A folder of the devices changed: look now.
    void notice(uint32_t now);
    // Whether such notices come at all (after each look).
    void devices_noticed(bool noticed);
    void output(int slot, const unsigned char* bytes, size_t count);
    void stream(int slot, const unsigned char* bytes, size_t count, uint32_t now);
    void child_ended(int slot, ChildEnd end, uint32_t now);
    void not_started(int slot, const std::string& reason, uint32_t now);
    // A key: a character, or KEY_CODE_UP / KEY_CODE_DOWN / KEY_CODE_OTHER.
    void key(int code, uint32_t now);
    void interrupt(uint32_t now);  // Ctrl-C
    void terminate(int signal, uint32_t now);
    void tick(uint32_t now);
    void results_written(bool written, const std::string& reason, uint32_t now);

    // ---- what to do ----
    std::vector<Action> take_actions();
    // How long nothing is due; -1: only what happens wakes the station.
    int32_t wait_ms(uint32_t now) const;
    bool done() const;

    // ---- what it knows ----
    const std::vector<StationPort>& ports() const { return ports_; }
    PortPhase phase(int port) const;
    int selected() const { return selected_; }
    bool is_station() const { return setup_.station; }
    bool resets_boards() const { return setup_.lines_reset; }
    StationStatus status(uint32_t now) const;
    // The counts of the session: summary.json, and a line of sessions.jsonl.
    Json summary(uint32_t now) const;
    // results.jsonl's lines not written yet.
    const std::deque<std::string>& unwritten() const { return results_; }
    const std::string& stopped_because() const { return station_stop_; }
    int ending_signal() const { return ending_signal_; }
    int exit_status() const;

private:
    int port_of_slot(int slot) const;
    int add(const std::string& name, bool listed);
    void event_line(int port, const std::string& line, uint32_t now);
    void release_output(int port);
    void settle(int port, uint32_t now);
    void run_over(int port, uint32_t now);
    void start_runs(uint32_t now);
    void start_run(int port, int slot, uint32_t now);
    void end_run(int port, EndedBy by);
    std::string results_line(const StationPort& port, int board) const;
    void queue_result(std::string line);
    void write_next(bool reopen);
    void decide_keys();
    void act_on_key(int code, uint32_t now);
    void select(int step);
    void toggle_pause(uint32_t now);
    void stop_gently();
    void stop_now();
    void end_at_once(int signal);
    void stop_station(const std::string& why);
    int running() const;
    void push(Action action);
    void say(const std::string& line);      // a plain line, with its line end
    void tell(const std::string& message);  // fwld-gang's own word

    StationSetup setup_;
    std::vector<StationPort> ports_;
    std::vector<int> slot_port_;  // the port of each child slot; -1 when free
    std::vector<EventLines> slot_lines_;
    std::vector<Action> actions_;
    uint32_t started_ms_ = 0;
    StopLevel stop_ = STOP_NONE;
    int ending_signal_ = 0;
    std::string station_stop_;
    int selected_ = -1;
    bool crowded_ = false;
    // Looks
    uint32_t looked_at_ = 0;
    uint32_t look_every_ms_ = LOOK_MS;
    bool look_asked_ = false;
    // Keys of a burst not yet judged, with the time of the last.
    std::vector<int> burst_;
    uint32_t burst_at_ = 0;
    // results.jsonl: the lines not yet written, the first in flight or held.
    std::deque<std::string> results_;
    bool writing_ = false;
    bool results_blocked_ = false;
    std::string results_reason_;
    uint32_t results_retry_at_ = 0;
    // The table
    bool dirty_ = true;
    uint32_t drawn_at_ = 0;
};
