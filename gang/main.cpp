// fwld-gang: one fwld per port, all at once; with --station board after
// board on each port, with --watch on each port as it is plugged in. A
// supervisor only: it learns what each fwld does from its event stream,
// keeps its console in a log, and never speaks to a target itself. The
// rules are the Station's (station.h); this file carries out what it asks
// on the platform.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "args.h"
#include "clock.h"
#include "devices.h"
#include "platform.h"
#include "render.h"
#include "result_file.h"
#include "session.h"
#include "station.h"
#include "system.h"

namespace {

const char usage_text[] =
    "usage: fwld-gang [--logs DIR] [--station] PORT[,PORT...] -- infile1 infile2 p1 p2 p3 p4 @[:BAUD] [p6 [options...]]\n"
    "       fwld-gang [--logs DIR] --watch PATTERN -- infile1 infile2 p1 p2 p3 p4 @[:BAUD] [p6 [options...]]\n"
    "       fwld-gang --help | -h | --version\n"
    "Runs one fwld per port, each with the arguments after --, p5's @ replaced by\n"
    "the port, on copies of the two files made at the start (DIR/images/SESSION/).\n"
    "Each fwld's console output goes to DIR/<port>.log, one line per board to\n"
    "DIR/results.jsonl and the counts to DIR/summary.json and DIR/sessions.jsonl\n"
    "(DIR: a new directory named after the start time). --station: board after\n"
    "board on every port, each port waited for while its device is not there.\n"
    "--watch: the ports are the devices whose paths match PATTERN (a glob; on\n"
    "Windows COM* or a list), each started when it appears. Without --station a\n"
    "key or Ctrl-C ends every update as a key ends fwld. In a station: q stops it\n"
    "gently (the boards begun finish), q again or Ctrl-C stops every update now;\n"
    "arrows or j/k select a port, x ends its run, p pauses it. Ctrl-C again ends\n"
    "them at once. Exit status 0 only when no board failed.\n";
const char version_text[] = "fwld-gang 8.00\n";

constexpr int FWLD_ARGS_MAX = 250;

struct Gang {
    GangArgs args;
    char fwld[GANG_TEXT_MAX * 2];
    std::string log_dir;
    std::string session;
    std::string loader;  // the files fwld is given: the pinned copies
    std::string image;
    std::string results_path;
    intptr_t results = -1;
    std::vector<intptr_t> logs;  // a port's log while its run writes; -1 when closed
    bool table = false;
    size_t lines_drawn = 0;
    char* child_argv[FWLD_ARGS_MAX + 8];
    char p5[GANG_TEXT_MAX * 2];
};

Gang gang;

int refuse(const std::string& message) {
    std::fprintf(stderr, "fwld-gang: %s\n", message.c_str());
    return 1;
}

std::string in_log_dir(const std::string& name) {
    char path[GANG_TEXT_MAX * 4];
    join_path(gang.log_dir.c_str(), name.c_str(), path, sizeof path);
    return path;
}

std::string system_reason(long error) {
    char reason[160];
    system_error_text(error, reason, sizeof reason);
    return reason;
}

// ---- the setup ----

void name_session() {
    const std::time_t start = std::time(nullptr);
    char text[64];
    session_id(*std::gmtime(&start), process_id(), text, sizeof text);
    gang.session = text;
    if (gang.args.log_dir != nullptr) {
        gang.log_dir = gang.args.log_dir;
    } else {
        default_log_dir(*std::localtime(&start), text, sizeof text);
        gang.log_dir = text;
    }
}

bool make_dir(const std::string& path, std::string* refusal) {
    char reason[128];
    if (make_log_dir(path.c_str(), reason, sizeof reason)) return true;
    *refusal = "the folder \"" + path + "\" can not be made: " + reason + ".";
    return false;
}

bool open_results(std::string* refusal) {
    if (!make_dir(gang.log_dir, refusal)) return false;
    gang.results_path = in_log_dir("results.jsonl");
    gang.results = result_file_open_sole(gang.results_path.c_str());
    if (gang.results >= 0) return true;
    *refusal = "\"" + gang.results_path + "\" can not be opened: " + system_reason(result_file_last_error()) + ".";
    return false;
}

// Every board gets the bytes the station started with: fwld is given copies
// of its two files. A file that can not be copied is left to fwld's check,
// which names it in fwld's own words.
bool pin_images(std::string* trouble) {
    const std::string images = in_log_dir("images");
    char folder[GANG_TEXT_MAX * 4];
    join_path(images.c_str(), gang.session.c_str(), folder, sizeof folder);
    if (!make_dir(images, trouble) || !make_dir(folder, trouble)) return false;
    const char* loader = gang.args.fwld_args[FWLD_LOADER_INDEX];
    const char* image = gang.args.fwld_args[FWLD_PROGRAM_INDEX];
    char loader_name[GANG_TEXT_MAX], image_name[GANG_TEXT_MAX], path[GANG_TEXT_MAX * 6];
    pinned_names(loader, image, loader_name, image_name, sizeof loader_name);
    const struct {
        const char* from;
        const char* name;
        std::string* to;
    } files[] = {{loader, loader_name, &gang.loader}, {image, image_name, &gang.image}};
    bool pinned = true;
    for (const auto& f : files) {
        join_path(folder, f.name, path, sizeof path);
        char reason[160];
        if (file_copy(f.from, path, reason, sizeof reason)) {
            *f.to = path;
        } else if (pinned) {
            char text[GANG_TEXT_MAX * 8];
            std::snprintf(text, sizeof text, "\"%s\" can not be copied to \"%s\": %s.", f.from, path, reason);
            *trouble = text;
            pinned = false;
        }
    }
    return pinned;
}

// fwld's own verdict on the arguments every run will get, before any port:
// a refused file, a refused argument, an option fwld does not know.
bool fwld_takes_arguments() {
    const std::string first = gang.args.watch != nullptr ? "1" : gang.args.ports[0];
    std::string p5 = first + (gang.args.fwld_args[FWLD_P5_INDEX] + 1);
    std::snprintf(gang.p5, sizeof gang.p5, "%s", p5.c_str());
    const FwldLine line{gang.fwld, gang.loader.c_str(), gang.image.c_str(), true};
    const int stream = fwld_command_line(gang.args, line, gang.p5, gang.child_argv, FWLD_ARGS_MAX + 8);
    std::string said;
    if (stream >= 0) gang.child_argv[stream] = nullptr;
    const int status = stream >= 0 ? run_to_end(gang.fwld, gang.child_argv, &said) : -1;
    if (status == 0) return true;
    std::fputs(said.c_str(), stderr);
    if (status < 0) {
        std::fprintf(stderr, "fwld-gang: %s can not be run to check the arguments.\n", gang.fwld);
    } else {
        std::fprintf(stderr, "fwld-gang: fwld refuses these arguments (above); no port is started.\n");
    }
    return false;
}

// ---- carrying out what the station asks ----

void start_run(Station& station, const Action& a, uint32_t now) {
    std::snprintf(gang.p5, sizeof gang.p5, "%s", station.ports()[static_cast<size_t>(a.port)].p5.c_str());
    const FwldLine line{gang.fwld, gang.loader.c_str(), gang.image.c_str(), false};
    const int stream = fwld_command_line(gang.args, line, gang.p5, gang.child_argv, FWLD_ARGS_MAX + 8);
    char reason[160] = "too many arguments for fwld";
    if (stream < 0 || !child_start(a.slot, gang.fwld, gang.child_argv, stream, reason, sizeof reason)) {
        station.not_started(a.slot, reason, now);
    }
}

void append_log(const Station& station, int port, const std::string& text) {
    if (static_cast<size_t>(port) >= gang.logs.size()) gang.logs.resize(static_cast<size_t>(port) + 1, -1);
    intptr_t& log = gang.logs[static_cast<size_t>(port)];
    if (log < 0) log = result_file_open(in_log_dir(station.ports()[static_cast<size_t>(port)].log_name).c_str());
    // A full disk loses log lines; it does not stop the updates.
    if (log >= 0) result_file_append(log, text.data(), text.size());
}

void close_log(int port) {
    if (static_cast<size_t>(port) >= gang.logs.size()) return;
    result_file_close(gang.logs[static_cast<size_t>(port)]);
    gang.logs[static_cast<size_t>(port)] = -1;
}

void write_result(Station& station, const Action& a, uint32_t now) {
    if (a.reopen) {
        // Opened again by name: a file replaced, a disk with room again.
        result_file_close(gang.results);
        gang.results = result_file_open_sole(gang.results_path.c_str());
    }
    const bool written = gang.results >= 0 && result_file_append_whole(gang.results, a.text.data(), a.text.size());
    station.results_written(written, written ? std::string() : system_reason(result_file_last_error()), now);
}

void look(Station& station, uint32_t now) {
    devices_refresh();
    std::vector<DeviceSeen> seen;
    intptr_t noticed = -1;
    if (gang.args.watch != nullptr) {
        // Two names of one device (a link and its device) are one port, the
        // first name found.
        struct Found {
            std::vector<DeviceSeen>* seen;
            std::vector<std::string> devices;
        } found{&seen, {}};
        devices_matching(
            gang.args.watch,
            [](const char* name, uint64_t identity, void* context) {
                Found* f = static_cast<Found*>(context);
                char device[GANG_TEXT_MAX];
                port_identity(name, device, sizeof device);
                for (const std::string& known : f->devices) {
                    if (known == device) return;
                }
                f->devices.push_back(device);
                f->seen->push_back({name, identity});
            },
            &found);
        noticed = device_notices(&gang.args.watch, 1);
    } else {
        std::vector<const char*> names;
        for (const StationPort& port : station.ports()) {
            uint64_t identity = 0;
            if (device_present(port.name.c_str(), &identity)) seen.push_back({port.name, identity});
            names.push_back(port.name.c_str());
        }
        noticed = device_notices(names.data(), static_cast<int>(names.size()));
    }
    wait_also(noticed);
    station.devices_noticed(noticed >= 0);
    station.look(seen, now);
}

// Redraws the whole table over itself in one write; lines left over from a
// longer table are cleared.
void draw_table(const Station& station, uint32_t now) {
    const std::vector<std::string> lines = render_table(station, output_width(), output_height(), now);
    std::string screen;
    if (gang.lines_drawn > 0) screen = "\x1b[" + std::to_string(gang.lines_drawn) + "A";
    for (const std::string& line : lines) screen += "\r" + line + "\x1b[K\n";
    screen += "\x1b[J";
    std::fwrite(screen.data(), 1, screen.size(), stdout);
    std::fflush(stdout);
    gang.lines_drawn = lines.size();
}

void carry_out(Station& station) {
    for (std::vector<Action> actions; !(actions = station.take_actions()).empty();) {
        for (const Action& a : actions) {
            const uint32_t now = clock_tick_ms();
            switch (a.kind) {
            case ACTION_START_RUN: start_run(station, a, now); break;
            case ACTION_END_RUN: child_end_alone(a.slot); break;
            case ACTION_PRESS_KEY: child_press_key(a.slot); break;
            case ACTION_INTERRUPT:
                if (a.signal == 0) {
                    child_interrupt(a.slot);
                } else {
                    child_forward(a.slot, a.signal);
                }
                break;
            case ACTION_APPEND_LOG: append_log(station, a.port, a.text); break;
            case ACTION_CLOSE_LOG: close_log(a.port); break;
            case ACTION_WRITE_RESULT: write_result(station, a, now); break;
            case ACTION_LOOK: look(station, now); break;
            case ACTION_SAY:
                // On the table the status line says it.
                if (!gang.table) {
                    std::fputs(a.text.c_str(), stdout);
                    std::fflush(stdout);
                }
                break;
            case ACTION_REDRAW: draw_table(station, now); break;
            }
        }
    }
}

void handle(Station& station, const Event& e) {
    const uint32_t now = clock_tick_ms();
    switch (e.kind) {
    case EVENT_OUTPUT: station.output(e.child, e.bytes, e.count); break;
    case EVENT_STREAM: station.stream(e.child, e.bytes, e.count, now); break;
    case EVENT_ENDED: station.child_ended(e.child, e.end, now); break;
    case EVENT_KEY:
        if (e.key_count == 0) station.key(' ', now);  // a key left for every fwld.exe to see
        for (int k = 0; k < e.key_count; ++k) station.key(e.keys[k], now);
        break;
    case EVENT_INTERRUPT: station.interrupt(now); break;
    case EVENT_TERMINATE: station.terminate(e.signal, now); break;
    case EVENT_NOTICE: station.notice(now); break;
    case EVENT_TIMEOUT: break;
    }
}

void supervise(Station& station) {
    station.start(clock_tick_ms());
    carry_out(station);
    while (!station.done()) {
        handle(station, next_event(station.wait_ms(clock_tick_ms())));
        station.tick(clock_tick_ms());
        carry_out(station);
    }
    if (gang.table) draw_table(station, clock_tick_ms());
}

// ---- the end ----

void write_summaries(const Station& station) {
    const Json summary_object = station.summary(clock_tick_ms());
    const std::string line = json_line(summary_object);
    const std::string summary = in_log_dir("summary.json");
    char reason[128];
    if (!file_replace(summary.c_str(), line.data(), line.size(), reason, sizeof reason)) {
        std::fprintf(stderr, "fwld-gang: \"%s\" can not be written: %s.\n", summary.c_str(), reason);
    }
    // Each session's summary stays, one line each.
    const std::string sessions = in_log_dir("sessions.jsonl");
    const intptr_t file = result_file_open_sole(sessions.c_str());
    if (file < 0 || !result_file_append_whole(file, line.data(), line.size())) {
        std::fprintf(stderr, "fwld-gang: \"%s\" can not be written: %s.\n", sessions.c_str(),
                     system_reason(result_file_last_error()).c_str());
    }
    result_file_close(file);
}

void report(const Station& station) {
    std::fputs("\n", stdout);
    for (const std::string& line : render_summary(station, gang.log_dir)) std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    if (!station.stopped_because().empty()) {
        std::fprintf(stderr, "fwld-gang: the station stopped: %s\n", station.stopped_because().c_str());
    }
    // No board's record is lost: what the file did not take goes here, whole.
    if (!station.unwritten().empty()) {
        std::fprintf(stderr, "fwld-gang: %zu line%s could not be written to %s:\n", station.unwritten().size(),
                     station.unwritten().size() == 1 ? "" : "s", gang.results_path.c_str());
        for (const std::string& line : station.unwritten()) std::fputs(line.c_str(), stderr);
    }
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
        return refuse(std::string("fwld is not beside fwld-gang (looked for ") + gang.fwld + ").");
    }
    name_session();
    std::string trouble;
    if (!open_results(&trouble)) return refuse(trouble);
    const bool pinned = pin_images(&trouble);
    // Without a copy, the check looks at the file as given.
    if (gang.loader.empty()) gang.loader = gang.args.fwld_args[FWLD_LOADER_INDEX];
    if (gang.image.empty()) gang.image = gang.args.fwld_args[FWLD_PROGRAM_INDEX];
    if (!fwld_takes_arguments()) return 1;
    if (!pinned) return refuse(trouble);

    StationSetup setup;
    setup.station = gang.args.station;
    setup.watch = gang.args.watch != nullptr;
    setup.slots = GANG_PORTS_MAX;
    setup.p5_tail = gang.args.fwld_args[FWLD_P5_INDEX] + 1;
    setup.lines_reset = drives_lines(gang.args);
    setup.session = gang.session;
    gang.table = prepare_output();
    setup.table = gang.table;
    Station station(setup);
    for (int i = 0; i < gang.args.port_count; ++i) station.add_port(gang.args.ports[i]);
    keyboard_take(gang.args.station);
    if (!gang.table) {
        if (gang.args.watch != nullptr) {
            std::fprintf(stdout, "fwld-gang: a station on the devices %s, logs in %s, session %s\n", gang.args.watch,
                         gang.log_dir.c_str(), gang.session.c_str());
        } else {
            std::fprintf(stdout, "fwld-gang: %s%d ports, logs in %s, session %s\n",
                         gang.args.station ? "a station of " : "", gang.args.port_count, gang.log_dir.c_str(),
                         gang.session.c_str());
        }
        std::fflush(stdout);
    }
    supervise(station);
    terminal_restore();
    report(station);
    write_summaries(station);
    for (intptr_t log : gang.logs) result_file_close(log);
    result_file_close(gang.results);
    // Ended by a signal: the shell sees that signal.
    if (signal_default(station.ending_signal())) std::raise(station.ending_signal());
    return station.exit_status();
}
