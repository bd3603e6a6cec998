// fwld-gang: one fwld per port, all at once; with --station board after
// board on each port, with --watch on each port as it is plugged in. A
// supervisor only: it learns what each fwld does from its event stream,
// keeps its console in a log, and never speaks to a target itself.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "clock.h"
#include "devices.h"
#include "gang.h"
#include "host.h"
#include "result_file.h"
#include "session.h"
#include "system.h"

namespace {

// A file appended to whole (a port's log, results.jsonl), never inherited
// by a child; -1 with the system's reason.
intptr_t open_log(const char* path, char* reason, size_t size) {
    const intptr_t log = result_file_open(path);
    if (log < 0) system_error_text(result_file_last_error(), reason, size);
    return log;
}

const char usage_text[] =
    "usage: fwld-gang [--logs DIR] [--station] PORT[,PORT...] -- infile1 infile2 p1 p2 p3 p4 @[:BAUD] [p6 [options...]]\n"
    "       fwld-gang [--logs DIR] --watch PATTERN -- infile1 infile2 p1 p2 p3 p4 @[:BAUD] [p6 [options...]]\n"
    "       fwld-gang --help | -h | --version\n"
    "Runs one fwld per port, each with the arguments after --, p5's @ replaced by\n"
    "the port. Each fwld's console output goes to DIR/<port>.log, one line per\n"
    "board to DIR/results.jsonl and the counts to DIR/summary.json (DIR: a new\n"
    "directory named after the start time). --station: board after board on\n"
    "every port, each port waited for while its device is not there. --watch:\n"
    "the ports are the devices whose paths match PATTERN (a glob; on Windows\n"
    "COM* or a list), each started when it appears. A key or Ctrl-C ends every\n"
    "update as a key ends fwld; Ctrl-C again ends them at once. Exit status 0\n"
    "only when no board failed.\n";
const char version_text[] = "fwld-gang 8.00\n";

constexpr int FWLD_ARGS_MAX = 250;
// The table is redrawn at most this often while fwld reports, and this
// often for its clocks alone.
constexpr uint32_t REDRAW_MS = 250;
constexpr uint32_t CLOCK_REDRAW_MS = 1000;
// How often a station looks for its devices.
constexpr uint32_t LOOK_MS = 250;
constexpr int SCREEN_LINE_MAX = 512;

struct Port {
    char name[GANG_TEXT_MAX];
    char p5[GANG_TEXT_MAX];
    intptr_t log;
    PortRun run;
    PortTally tally;
    PortSchedule schedule;
    Verdict verdict;  // of the run, once settled
    bool settled;
    bool ran;
    bool ended_by_station;  // its key was pressed: the station's stop, or its device went
};

struct Gang {
    GangArgs args;
    char fwld[GANG_TEXT_MAX * 2];
    char log_dir[GANG_TEXT_MAX];
    Port ports[GANG_PORTS_MAX];
    int port_count;
    const char* names[GANG_PORTS_MAX];
    char log_names[GANG_PORTS_MAX][GANG_TEXT_MAX];
    intptr_t results;
    char* child_argv[FWLD_ARGS_MAX + 4];
    int port_width;
    bool table;
    int lines_drawn;
    uint32_t drawn_at;
    bool dirty;
    bool stopping;
    bool ending_at_once;
    int ending_signal;
    uint32_t started_ms;
    uint32_t looked_at;
    bool crowded_said;  // --watch found more devices than it takes
    char station_stop[GANG_MESSAGE_MAX];  // why the station stopped by itself
};

Gang gang;
EventLines stream_lines[GANG_PORTS_MAX];
char record_line[EVENT_LINE_MAX + 64];
char screen[(GANG_PORTS_MAX + 2) * (SCREEN_LINE_MAX + 8)];

int refuse(const char* message) {
    std::fprintf(stderr, "fwld-gang: %s\n", message);
    return 1;
}

int running_count() {
    int n = 0;
    for (int i = 0; i < gang.port_count; ++i) n += gang.ports[i].schedule.running ? 1 : 0;
    return n;
}

PortTally all_tallies() {
    PortTally all{};
    for (int i = 0; i < gang.port_count; ++i) {
        all.boards += gang.ports[i].tally.boards;
        all.finished += gang.ports[i].tally.finished;
        all.failed += gang.ports[i].tally.failed;
        all.stopped += gang.ports[i].tally.stopped;
    }
    return all;
}

void say(const char* text) {
    // On the table the status line says it.
    if (gang.table) return;
    std::fprintf(stdout, "fwld-gang: %s\n", text);
    std::fflush(stdout);
}

void print_plain(const char* line) {
    if (gang.table) return;
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// ---- the setup ----

bool open_log_dir(char* refusal, size_t size) {
    if (gang.args.log_dir != nullptr) {
        std::snprintf(gang.log_dir, sizeof gang.log_dir, "%s", gang.args.log_dir);
    } else {
        const std::time_t start = std::time(nullptr);
        default_log_dir(*std::localtime(&start), gang.log_dir, sizeof gang.log_dir);
    }
    char reason[128];
    if (!make_log_dir(gang.log_dir, reason, sizeof reason)) {
        std::snprintf(refusal, size, "the log directory \"%.80s\" can not be made: %s.", gang.log_dir, reason);
        return false;
    }
    char path[GANG_TEXT_MAX * 2];
    join_path(gang.log_dir, "results.jsonl", path, sizeof path);
    gang.results = open_log(path, reason, sizeof reason);
    if (gang.results < 0) {
        std::snprintf(refusal, size, "\"%.120s\" can not be opened: %.60s.", path, reason);
        return false;
    }
    return true;
}

// A port joins the table with its log. False with the reason.
bool add_port(const char* name, char* reason, size_t size) {
    const int i = gang.port_count;
    Port& port = gang.ports[i];
    port = Port{};
    std::snprintf(port.name, sizeof port.name, "%s", name);
    if (!substitute_port(gang.args, name, port.p5, sizeof port.p5)) {
        std::snprintf(reason, size, "p5 for port \"%.60s\" is too long.", name);
        return false;
    }
    log_file_name(name, gang.log_names, i, gang.log_names[i]);
    char path[GANG_TEXT_MAX * 2], why[128];
    join_path(gang.log_dir, gang.log_names[i], path, sizeof path);
    port.log = open_log(path, why, sizeof why);
    if (port.log < 0) {
        std::snprintf(reason, size, "the log \"%.120s\" can not be opened: %.60s.", path, why);
        return false;
    }
    run_start(&port.run, clock_tick_ms());
    port.run.ended = true;
    gang.names[i] = port.name;
    gang.port_count = i + 1;
    gang.port_width = port_column_width(gang.names, gang.port_count);
    gang.dirty = true;
    return true;
}

// ---- runs and boards ----

void write_record(const Port& port, const char* end_line, size_t length, int board) {
    const size_t n = end_line != nullptr ? results_line(end_line, length, board, record_line, sizeof record_line)
                                         : results_line_without_record(port.p5, port.run, board, record_line,
                                                                       sizeof record_line);
    if (n > 0) result_file_append(gang.results, record_line, n);
}

void stop_all();

void stop_station(const char* message) {
    if (gang.station_stop[0] == '\0') std::snprintf(gang.station_stop, sizeof gang.station_stop, "%s", message);
    char line[GANG_MESSAGE_MAX + 32];
    std::snprintf(line, sizeof line, "the station stops: %s", message);
    say(line);
    stop_all();
}

// The run has its result (the end event, or fwld's exit without one): its
// board is counted, recorded and told.
void settle(int i, const char* end_line, size_t length) {
    Port& port = gang.ports[i];
    if (port.settled) return;
    port.settled = true;
    port.verdict = judge_run(port.run, gang.args.station, gang.stopping || port.ended_by_station);
    const int board = tally_run(&port.tally, port.run, port.verdict);
    if (board > 0) {
        write_record(port, end_line, length, gang.args.station ? board : 1);
        char line[SCREEN_LINE_MAX];
        render_end_line(port.name, port.run, gang.args.station ? board : 0, line, sizeof line);
        print_plain(line);
    }
    if (port.verdict == VERDICT_STOPS_STATION) stop_station(port.run.result.message);
    // On Windows every fwld reads the one console, and the first to see the
    // operator's key takes it away as it ends: a port interrupted by a key
    // that fwld-gang did not send was the operator's, and ends the others too.
    if (!gang.stopping && !port.ended_by_station && std::strcmp(port.run.result.outcome, "interrupted") == 0) {
        stop_all();
    }
    gang.dirty = true;
}

void start_run(int i) {
    Port& port = gang.ports[i];
    const int stream_argument =
        fwld_command_line(gang.args, gang.fwld, port.p5, gang.child_argv, FWLD_ARGS_MAX + 4);
    run_start(&port.run, clock_tick_ms());
    port.settled = false;
    port.ran = true;
    port.ended_by_station = false;
    stream_lines[i] = EventLines{};
    char reason[GANG_MESSAGE_MAX];
    schedule_run_started(&port.schedule);
    port.schedule.running = child_start(i, gang.fwld, gang.child_argv, stream_argument, reason, sizeof reason);
    if (port.schedule.running) return;
    run_not_started(&port.run, reason, clock_tick_ms());
    settle(i, nullptr, 0);
    schedule_run_ended(&port.schedule, port.verdict, gang.stopping, gang.args.watch != nullptr, clock_tick_ms());
}

// ---- the station's looks ----

struct Seen {
    bool present[GANG_PORTS_MAX];
    uint64_t identity[GANG_PORTS_MAX];
    // The devices found so far in this look: two names of one device (a
    // link and its device) are one port, the first name found.
    char devices[GANG_PORTS_MAX][GANG_TEXT_MAX];
    int device_count;
};

bool same_device_seen(Seen* seen, const char* name) {
    if (seen->device_count == GANG_PORTS_MAX) return false;
    char* device = seen->devices[seen->device_count];
    port_identity(name, device, GANG_TEXT_MAX);
    for (int i = 0; i < seen->device_count; ++i) {
        if (std::strcmp(seen->devices[i], device) == 0) return true;
    }
    ++seen->device_count;
    return false;
}

void note_found(const char* name, uint64_t identity, void* context) {
    Seen* seen = static_cast<Seen*>(context);
    if (same_device_seen(seen, name)) return;
    for (int i = 0; i < gang.port_count; ++i) {
        if (std::strcmp(gang.ports[i].name, name) == 0) {
            seen->present[i] = true;
            seen->identity[i] = identity;
            return;
        }
    }
    if (gang.port_count == GANG_PORTS_MAX) {
        if (!gang.crowded_said) say("more devices match than the 32 ports fwld-gang takes; the rest wait.");
        gang.crowded_said = true;
        return;
    }
    char reason[GANG_MESSAGE_MAX];
    if (!add_port(name, reason, sizeof reason)) {
        stop_station(reason);
        return;
    }
    seen->present[gang.port_count - 1] = true;
    seen->identity[gang.port_count - 1] = identity;
}

void look() {
    gang.looked_at = clock_tick_ms();
    devices_refresh();
    Seen seen{};
    if (gang.args.watch != nullptr) {
        devices_matching(gang.args.watch, note_found, &seen);
        wait_also(device_notices(&gang.args.watch, 1));
    } else {
        for (int i = 0; i < gang.port_count; ++i) seen.present[i] = device_present(gang.ports[i].name, &seen.identity[i]);
        wait_also(device_notices(gang.names, gang.port_count));
    }
    for (int i = 0; i < gang.port_count; ++i) {
        Port& port = gang.ports[i];
        if (port.schedule.present != seen.present[i]) gang.dirty = true;
        schedule_presence(&port.schedule, seen.present[i], seen.identity[i]);
        if (!port.ended_by_station && schedule_should_end_run(port.schedule, port.run.stage)) {
            port.ended_by_station = true;
            child_end_alone(i);
        }
        if (!gang.stopping && schedule_may_start(port.schedule, clock_tick_ms())) start_run(i);
    }
}

// ---- what is shown ----

PortView view_of(int i) {
    const Port& port = gang.ports[i];
    PortPhase phase = PHASE_RUNNING;
    if (!port.schedule.running) {
        if (!gang.args.station || gang.stopping) {
            phase = port.ran ? PHASE_ENDED : PHASE_ABSENT;
        } else {
            phase = port.schedule.present ? PHASE_WAITING : PHASE_ABSENT;
        }
    }
    return PortView{port.name, &port.run, &port.tally, phase};
}

void status_line(uint32_t now, char* out, size_t size) {
    const int running = running_count();
    const unsigned elapsed = (now - gang.started_ms) / 1000u;
    const PortTally all = all_tallies();
    const char* what = gang.ending_at_once ? "ending every port at once."
                       : gang.stopping     ? "stopping every port; Ctrl-C again ends them at once."
                       : gang.args.station ? "any key stops the station."
                                           : "any key stops them all.";
    if (!gang.stopping && gang.args.station) {
        std::snprintf(out, size, "%u:%02u  %d ports, %d running; %d boards: %d finished, %d failed; %s",
                      elapsed / 60, elapsed % 60, gang.port_count, running, all.boards, all.finished, all.failed,
                      what);
        return;
    }
    std::snprintf(out, size, "%u:%02u  %d running, %d finished, %d failed (%d stopped); %s", elapsed / 60,
                  elapsed % 60, running, all.finished, all.failed, all.stopped,
                  running > 0 || !gang.stopping ? what : "all ended.");
}

// One line of the table, one column short of the edge so that the
// terminal never wraps it.
size_t put_screen_line(size_t used, const char* text, int width) {
    const int shown = width > 1 ? width - 1 : SCREEN_LINE_MAX;
    const int n = std::snprintf(screen + used, sizeof screen - used, "\r%.*s\x1b[K\n", shown, text);
    return n > 0 && used + static_cast<size_t>(n) < sizeof screen ? used + static_cast<size_t>(n) : used;
}

// Redraws the whole table over itself in one write.
void draw_table(uint32_t now) {
    size_t used = 0;
    if (gang.lines_drawn > 0)
        used = static_cast<size_t>(std::snprintf(screen, sizeof screen, "\x1b[%dA", gang.lines_drawn));
    const int width = output_width();
    char line[SCREEN_LINE_MAX];
    render_header(gang.args.station, gang.port_width, line, sizeof line);
    used = put_screen_line(used, line, width);
    for (int i = 0; i < gang.port_count; ++i) {
        render_port_line(gang.args.station, view_of(i), gang.port_width, now, line, sizeof line);
        used = put_screen_line(used, line, width);
    }
    status_line(now, line, sizeof line);
    used = put_screen_line(used, line, width);
    std::fwrite(screen, 1, used, stdout);
    std::fflush(stdout);
    gang.lines_drawn = gang.port_count + 2;
    gang.drawn_at = now;
    gang.dirty = false;
}

void print_summary() {
    char line[SCREEN_LINE_MAX];
    std::fputs("\n", stdout);
    render_summary_header(gang.args.station, gang.port_width, line, sizeof line);
    std::fputs(line, stdout);
    PortTally tallies[GANG_PORTS_MAX];
    for (int i = 0; i < gang.port_count; ++i) {
        render_summary_line(gang.args.station, view_of(i), gang.port_width, line, sizeof line);
        std::fputs(line, stdout);
        tallies[i] = gang.ports[i].tally;
    }
    render_closing_line(tallies, gang.port_count, gang.log_dir, line, sizeof line);
    std::fputs(line, stdout);
    std::fflush(stdout);
    if (gang.station_stop[0] != '\0') std::fprintf(stderr, "fwld-gang: the station stopped: %s\n", gang.station_stop);
}

void write_summary_file() {
    static char text[GANG_PORTS_MAX * (GANG_TEXT_MAX * 6 + 128) + 256];
    PortTally tallies[GANG_PORTS_MAX];
    for (int i = 0; i < gang.port_count; ++i) tallies[i] = gang.ports[i].tally;
    const size_t length =
        summary_json(gang.names, tallies, gang.port_count, clock_tick_ms() - gang.started_ms, text, sizeof text);
    char path[GANG_TEXT_MAX * 2], reason[128];
    join_path(gang.log_dir, "summary.json", path, sizeof path);
    if (length == 0 || !file_replace(path, text, length, reason, sizeof reason)) {
        std::fprintf(stderr, "fwld-gang: \"%s\" can not be written: %s.\n", path,
                     length == 0 ? "too long" : reason);
    }
}

// ---- events ----

void stop_all() {
    if (gang.stopping) return;
    gang.stopping = true;
    say(gang.args.station ? "stopping the station; Ctrl-C again ends every port at once."
                          : "stopping every port; Ctrl-C again ends them at once.");
    for (int i = 0; i < gang.port_count; ++i) {
        if (!gang.ports[i].schedule.running) continue;
        gang.ports[i].ended_by_station = true;
        child_press_key(i);
    }
}

void end_all_at_once(int signal) {
    gang.stopping = true;
    gang.ending_at_once = true;
    say("ending every port at once.");
    for (int i = 0; i < gang.port_count; ++i) {
        if (!gang.ports[i].schedule.running) continue;
        if (signal == 0) {
            child_interrupt(i);
        } else {
            child_forward(i, signal);
        }
    }
}

void on_event_line(int i, const char* text, size_t length) {
    Port& port = gang.ports[i];
    RunEvent event;
    if (!read_run_event(text, length, &event)) return;
    if (run_event(&port.run, event) && !gang.args.station) {
        char line[SCREEN_LINE_MAX];
        render_stage_line(port.name, port.run, line, sizeof line);
        print_plain(line);
    }
    if (event.kind == RUN_EVENT_END) settle(i, text, length);
    gang.dirty = true;
}

void on_stream(const Event& e) {
    EventLines* lines = &stream_lines[e.child];
    for (size_t taken = 0; taken < e.count;) {
        taken += event_lines_feed(lines, e.bytes + taken, e.count - taken);
        if (lines->ready) on_event_line(e.child, lines->line, lines->length);
    }
}

void on_ended(const Event& e) {
    Port& port = gang.ports[e.child];
    run_child_ended(&port.run, e.end, clock_tick_ms());
    settle(e.child, nullptr, 0);
    schedule_run_ended(&port.schedule, port.verdict, port.ended_by_station, gang.args.watch != nullptr, clock_tick_ms());
    gang.dirty = true;
}

void handle(const Event& e) {
    switch (e.kind) {
    // A full disk loses log lines; it does not stop the updates.
    case EVENT_OUTPUT: result_file_append(gang.ports[e.child].log, reinterpret_cast<const char*>(e.bytes), e.count); break;
    case EVENT_STREAM: on_stream(e); break;
    case EVENT_ENDED: on_ended(e); break;
    case EVENT_KEY: stop_all(); break;
    case EVENT_INTERRUPT:
        if (gang.stopping) {
            end_all_at_once(0);
        } else {
            stop_all();
        }
        break;
    case EVENT_TERMINATE:
        gang.ending_signal = e.signal;
        end_all_at_once(e.signal);
        break;
    case EVENT_NOTICE:
        if (gang.args.station && !gang.stopping) look();
        break;
    case EVENT_TIMEOUT: break;
    }
    gang.dirty |= e.kind != EVENT_TIMEOUT && e.kind != EVENT_NOTICE;
}

int32_t until(uint32_t due_in, uint32_t since) { return since >= due_in ? 0 : static_cast<int32_t>(due_in - since); }

int32_t wait_before_next(uint32_t now) {
    int32_t wait = -1;
    if (gang.table) wait = until(gang.dirty ? REDRAW_MS : CLOCK_REDRAW_MS, now - gang.drawn_at);
    if (gang.args.station && !gang.stopping) {
        const int32_t look_in = until(LOOK_MS, now - gang.looked_at);
        if (wait < 0 || look_in < wait) wait = look_in;
    }
    return wait;
}

bool all_done() { return running_count() == 0 && (!gang.args.station || gang.stopping); }

void supervise() {
    if (gang.args.station) {
        look();
    } else {
        for (int i = 0; i < gang.port_count; ++i) start_run(i);
    }
    while (!all_done()) {
        handle(next_event(wait_before_next(clock_tick_ms())));
        const uint32_t now = clock_tick_ms();
        if (gang.args.station && !gang.stopping && now - gang.looked_at >= LOOK_MS) look();
        if (gang.table && until(gang.dirty ? REDRAW_MS : CLOCK_REDRAW_MS, now - gang.drawn_at) == 0) draw_table(now);
    }
    if (gang.table) draw_table(clock_tick_ms());
}

}  // namespace

int main(int argc, char** argv) {
    char refusal[256];
    switch (parse_gang_args(argc, argv, &gang.args, refusal, sizeof refusal)) {
    case GANG_HELP: std::fputs(usage_text, stdout); return 0;
    case GANG_VERSION: std::fputs(version_text, stdout); return 0;
    case GANG_REFUSED: std::fprintf(stderr, "fwld-gang: %s\n%s", refusal, usage_text); return 1;
    case GANG_RUN: break;
    }
    if (gang.args.fwld_arg_count > FWLD_ARGS_MAX) return refuse("too many arguments for fwld.");
    if (!locate_fwld(argv[0], gang.fwld, sizeof gang.fwld)) {
        std::fprintf(stderr, "fwld-gang: fwld is not beside fwld-gang (looked for %s).\n", gang.fwld);
        return 1;
    }
    if (!open_log_dir(refusal, sizeof refusal)) return refuse(refusal);
    for (int i = 0; i < gang.args.port_count; ++i) {
        if (!add_port(gang.args.ports[i], refusal, sizeof refusal)) return refuse(refusal);
    }
    gang.table = prepare_output();
    keyboard_take();
    gang.started_ms = clock_tick_ms();
    if (!gang.table) {
        if (gang.args.watch != nullptr) {
            std::fprintf(stdout, "fwld-gang: a station on the devices %s, logs in %s\n", gang.args.watch,
                         gang.log_dir);
        } else {
            std::fprintf(stdout, "fwld-gang: %s%d ports, logs in %s\n", gang.args.station ? "a station of " : "",
                         gang.port_count, gang.log_dir);
        }
        std::fflush(stdout);
    }
    supervise();
    terminal_restore();
    print_summary();
    write_summary_file();
    for (int i = 0; i < gang.port_count; ++i) result_file_close(gang.ports[i].log);
    result_file_close(gang.results);
    end_by_signal(gang.ending_signal);
    return all_tallies().failed == 0 && gang.station_stop[0] == '\0' ? 0 : 1;
}
