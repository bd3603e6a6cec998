// fwld-gang: one fwld per port, all at once; one line per port while they
// run, one summary at the end. A supervisor only: it reads what each fwld
// prints and never speaks to a target itself.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "gang.h"
#include "host.h"
#include "session.h"

namespace {

const char usage_text[] =
    "usage: fwld-gang [--logs DIR] PORT[,PORT...] -- infile1 infile2 p1 p2 p3 p4 @[:BAUD] [p6 [options...]]\n"
    "       fwld-gang --help | -h | --version\n"
    "Runs one fwld per port, each with the arguments after --, p5's @ replaced by\n"
    "the port. Each fwld's console output goes to DIR/<port>.log (DIR: a new\n"
    "directory named after the start time). A key or Ctrl-C ends every update\n"
    "as a key ends fwld; Ctrl-C again ends them at once. Exit status 0 only when\n"
    "every port finished.\n";
const char version_text[] = "fwld-gang 8.00\n";

constexpr int FWLD_ARGS_MAX = 250;
// The table is redrawn at most this often while fwld reports, and this
// often for its clocks alone.
constexpr uint32_t REDRAW_MS = 150;
constexpr uint32_t CLOCK_REDRAW_MS = 1000;
constexpr int SCREEN_LINE_MAX = 512;

struct Gang {
    GangArgs args;
    ProgramLayout layout;
    int32_t erase_wait;
    char fwld[GANG_TEXT_MAX * 2];
    char log_dir[GANG_TEXT_MAX];
    char log_names[GANG_PORTS_MAX][GANG_TEXT_MAX];
    intptr_t logs[GANG_PORTS_MAX];
    char p5[GANG_PORTS_MAX][GANG_TEXT_MAX];
    char* child_argv[FWLD_ARGS_MAX + 2];
    PortState ports[GANG_PORTS_MAX];
    bool running[GANG_PORTS_MAX];
    int port_width;
    bool table;
    int lines_drawn;
    uint32_t drawn_at;
    bool dirty;
    bool stopping;
    bool ending_at_once;
    int ending_signal;
    uint32_t started_ms;
};

Gang gang;
char screen[(GANG_PORTS_MAX + 2) * (SCREEN_LINE_MAX + 8)];

int refuse(const char* message) {
    std::fprintf(stderr, "fwld-gang: %s\n", message);
    return 1;
}

int running_count() {
    int n = 0;
    for (int i = 0; i < gang.args.port_count; ++i) n += gang.running[i] ? 1 : 0;
    return n;
}

int count_in(Stage stage) {
    int n = 0;
    for (int i = 0; i < gang.args.port_count; ++i) n += gang.ports[i].ended && gang.ports[i].stage == stage ? 1 : 0;
    return n;
}

PortFigures figures_of(int i, uint32_t now) { return port_figures(gang.ports[i], gang.layout, gang.erase_wait, now); }

// ---- the setup ----

void print_stage(int i) {
    char line[SCREEN_LINE_MAX];
    render_stage_line(gang.args.ports[i], gang.ports[i], figures_of(i, now_ms()), line, sizeof line);
    std::fputs(line, stdout);
    std::fflush(stdout);
}

void read_layout() {
    if (gang.args.fwld_arg_count < 2) return;
    FILE* file = std::fopen(gang.args.fwld_args[1], "rb");
    read_program_layout(file, &gang.layout);
    if (file != nullptr) std::fclose(file);
}

bool open_logs(char* refusal, size_t size) {
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
    log_file_names(gang.args, gang.log_names);
    for (int i = 0; i < gang.args.port_count; ++i) {
        char path[GANG_TEXT_MAX * 2];
        join_path(gang.log_dir, gang.log_names[i], path, sizeof path);
        gang.logs[i] = log_open(path, reason, sizeof reason);
        if (gang.logs[i] < 0) {
            std::snprintf(refusal, size, "the log \"%.120s\" can not be opened: %.60s.", path, reason);
            for (int j = 0; j < i; ++j) log_close(gang.logs[j]);
            return false;
        }
    }
    return true;
}

void start_children() {
    const GangArgs& a = gang.args;
    gang.child_argv[0] = gang.fwld;
    for (int k = 0; k < a.fwld_arg_count; ++k) gang.child_argv[k + 1] = a.fwld_args[k];
    gang.child_argv[a.fwld_arg_count + 1] = nullptr;
    for (int i = 0; i < a.port_count; ++i) {
        substitute_port(a, i, gang.p5[i], sizeof gang.p5[i]);
        gang.child_argv[FWLD_P5_INDEX + 1] = gang.p5[i];
        port_state_start(&gang.ports[i], now_ms());
        char reason[GANG_MESSAGE_MAX];
        gang.running[i] = child_start(i, gang.fwld, gang.child_argv, reason, sizeof reason);
        if (gang.running[i]) continue;
        port_state_not_started(&gang.ports[i], reason, now_ms());
        if (!gang.table) print_stage(i);
    }
}

// ---- what is shown ----

void status_line(uint32_t now, char* out, size_t size) {
    const int running = running_count();
    const unsigned elapsed = (now - gang.started_ms) / 1000u;
    const char* what = gang.ending_at_once ? "ending every port at once."
                       : gang.stopping     ? "stopping every port; Ctrl-C again ends them at once."
                                           : "any key stops them all.";
    std::snprintf(out, size, "%u:%02u  %d running, %d finished, %d failed, %d stopped; %s", elapsed / 60, elapsed % 60,
                  running, count_in(STAGE_DONE), count_in(STAGE_FAILED), count_in(STAGE_STOPPED),
                  running > 0 ? what : "all ended.");
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
    render_header(gang.port_width, line, sizeof line);
    used = put_screen_line(used, line, width);
    for (int i = 0; i < gang.args.port_count; ++i) {
        render_port_line(gang.args.ports[i], gang.port_width, gang.ports[i], figures_of(i, now), line, sizeof line);
        used = put_screen_line(used, line, width);
    }
    status_line(now, line, sizeof line);
    used = put_screen_line(used, line, width);
    std::fwrite(screen, 1, used, stdout);
    std::fflush(stdout);
    gang.lines_drawn = gang.args.port_count + 2;
    gang.drawn_at = now;
    gang.dirty = false;
}

void say(const char* text) {
    // On the table the status line says it.
    if (gang.table) return;
    std::fprintf(stdout, "fwld-gang: %s\n", text);
    std::fflush(stdout);
}

void print_summary() {
    const uint32_t now = now_ms();
    char line[SCREEN_LINE_MAX];
    std::fputs("\n", stdout);
    render_summary_header(gang.port_width, line, sizeof line);
    std::fputs(line, stdout);
    for (int i = 0; i < gang.args.port_count; ++i) {
        render_summary_line(gang.args.ports[i], gang.port_width, gang.ports[i], figures_of(i, now), line, sizeof line);
        std::fputs(line, stdout);
    }
    std::fprintf(stdout, "%d ports: %d finished, %d failed, %d stopped. Logs in %s\n", gang.args.port_count,
                 count_in(STAGE_DONE), count_in(STAGE_FAILED), count_in(STAGE_STOPPED), gang.log_dir);
    std::fflush(stdout);
}

// ---- events ----

void stop_all() {
    if (gang.stopping) return;
    gang.stopping = true;
    say("stopping every port; Ctrl-C again ends them at once.");
    for (int i = 0; i < gang.args.port_count; ++i) {
        if (gang.running[i]) child_press_key(i);
    }
}

void end_all_at_once(int signal) {
    gang.stopping = true;
    gang.ending_at_once = true;
    say("ending every port at once.");
    for (int i = 0; i < gang.args.port_count; ++i) {
        if (!gang.running[i]) continue;
        if (signal == 0) {
            child_interrupt(i);
        } else {
            child_forward(i, signal);
        }
    }
}

// On Windows every fwld reads the one console, and the first to see the
// operator's key takes it away as it ends: a port interrupted by a key that
// fwld-gang did not send was the operator's, and ends the others too.
void stop_all_if_a_key_was_taken(const PortState& state) {
    if (!gang.stopping && state.interruption_said) stop_all();
}

void on_output(const Event& e) {
    log_write(gang.logs[e.child], e.bytes, e.count);
    PortState* state = &gang.ports[e.child];
    for (size_t taken = 0; taken < e.count;) {
        const Stage before = state->stage;
        taken += port_state_feed(state, e.bytes + taken, e.count - taken, now_ms());
        if (state->stage != before && !gang.table) print_stage(e.child);
    }
    stop_all_if_a_key_was_taken(*state);
    gang.dirty = true;
}

void on_ended(const Event& e) {
    gang.running[e.child] = false;
    port_state_end(&gang.ports[e.child], e.end, gang.stopping, now_ms());
    if (!gang.table) print_stage(e.child);
    gang.dirty = true;
}

void handle(const Event& e) {
    switch (e.kind) {
    case EVENT_OUTPUT: on_output(e); break;
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
    case EVENT_TIMEOUT: break;
    }
    gang.dirty |= e.kind != EVENT_TIMEOUT;
}

int32_t wait_before_redraw(uint32_t now) {
    if (!gang.table) return -1;
    const uint32_t since = now - gang.drawn_at;
    const uint32_t due = gang.dirty ? REDRAW_MS : CLOCK_REDRAW_MS;
    return since >= due ? 0 : static_cast<int32_t>(due - since);
}

void supervise() {
    while (running_count() > 0) {
        handle(next_event(wait_before_redraw(now_ms())));
        if (gang.table && wait_before_redraw(now_ms()) == 0) draw_table(now_ms());
    }
    if (gang.table) draw_table(now_ms());
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
    if (!open_logs(refusal, sizeof refusal)) return refuse(refusal);
    read_layout();
    gang.erase_wait = erase_wait_seconds(gang.args);
    gang.port_width = port_column_width(gang.args);
    gang.table = prepare_output();
    keyboard_take();
    gang.started_ms = now_ms();
    if (!gang.table) {
        std::fprintf(stdout, "fwld-gang: %d ports, logs in %s\n", gang.args.port_count, gang.log_dir);
        std::fflush(stdout);
    }
    start_children();
    supervise();
    terminal_restore();
    print_summary();
    for (int i = 0; i < gang.args.port_count; ++i) log_close(gang.logs[i]);
    end_by_signal(gang.ending_signal);
    return count_in(STAGE_DONE) == gang.args.port_count ? 0 : 1;
}
