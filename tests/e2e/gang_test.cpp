// fwld-gang against simulated targets: every port finishes, a port that
// fails fails alone, a key ends them all, no fwld outlives fwld-gang; a
// station takes board after board, and --watch each board as it is
// plugged in. What fwld-gang counts and records is held against what each
// target says it received.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

std::vector<std::string> gang_command() {
    const char* env = std::getenv("FWLD_GANG_TEST_COMMAND");
    if (env != nullptr && *env != '\0') return testbed::split_command(env);
    // fwld is the Windows build under Wine: so is fwld-gang.
    if (testbed::ports_are_com_numbers()) return {FWLD_GANG_WINE};
    return {FWLD_GANG_BINARY};
}

// The log's name as fwld-gang makes it: "/dev/" dropped, '/' made '_'.
std::string log_name(std::string port) {
    if (port.rfind("/dev/", 0) == 0) port.erase(0, 5);
    for (char& c : port) c = c == '/' ? '_' : c;
    return port + ".log";
}

// The summary's line for a port: it starts with the port and a blank.
std::string summary_line(const std::string& out, const std::string& port) {
    const size_t at = out.rfind("\n" + port + " ");
    if (at == std::string::npos) return "";
    std::string line = out.substr(at + 1, out.find('\n', at + 1) - at - 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// What fwld-gang must have counted for one port: a target's verdict per
// board, in order.
struct PortBoards {
    std::string port;  // as fwld-gang names it
    std::vector<sim::TargetReport> boards;
};

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines = log_lines(path);
    for (std::string& line : lines) EXPECT_TRUE(testbed::is_json_line(line)) << line;
    return lines;
}

std::string member(const std::map<std::string, std::string>& m, const std::string& name) {
    const auto at = m.find(name);
    return at == m.end() ? "<missing>" : testbed::json_text(at->second);
}

// results.jsonl, summary.json and the closing line against the targets:
// one line per board, numbered per port, finished exactly when its target
// holds the whole image, with the records and bytes the target counted and
// the digests sha256sum gives the inputs, all of one session.
void expect_records_match(const std::string& dir, const std::string& out, const std::vector<PortBoards>& ports,
                          const Inputs& in, int stopped) {
    const sim::RecordList expected = *sim::records_from_file(in.program);
    const std::string loader_sha256 = testbed::sha256sum_of(in.loader);
    const std::string program_sha256 = testbed::sha256sum_of(in.program);
    std::map<std::string, std::vector<std::map<std::string, std::string>>> by_port;
    for (const std::string& line : lines_of(dir + "/results.jsonl")) {
        const auto m = testbed::json_members(line);
        by_port[member(m, "port")].push_back(m);
    }
    const std::vector<std::string> summary = lines_of(dir + "/summary.json");
    ASSERT_EQ(summary.size(), 1u);
    // The session's summary is also the last line of sessions.jsonl.
    const std::vector<std::string> sessions = lines_of(dir + "/sessions.jsonl");
    ASSERT_FALSE(sessions.empty());
    EXPECT_EQ(sessions.back(), summary[0]);
    const auto totals = testbed::json_members(summary[0]);
    const std::string session = member(totals, "session");
    EXPECT_TRUE(std::regex_match(session, std::regex("[0-9]{8}T[0-9]{6}Z-[0-9]+"))) << session;
    std::vector<std::map<std::string, std::string>> summed;
    std::string array = totals.count("ports") ? totals.at("ports") : "";
    for (size_t at = array.find('{'); at != std::string::npos; at = array.find('{', at + 1)) {
        summed.push_back(testbed::json_members(array.substr(at, array.find('}', at) - at + 1)));
    }
    ASSERT_EQ(summed.size(), ports.size()) << summary[0];
    int boards = 0, finished = 0;
    for (size_t p = 0; p < ports.size(); ++p) {
        SCOPED_TRACE(ports[p].port);
        const auto& records = by_port[ports[p].port + ":115200"];
        ASSERT_EQ(records.size(), ports[p].boards.size());
        int port_finished = 0;
        for (size_t b = 0; b < records.size(); ++b) {
            const sim::TargetReport& target = ports[p].boards[b];
            const bool intact = target.matches(expected);
            EXPECT_EQ(member(records[b], "board"), std::to_string(b + 1));
            EXPECT_EQ(member(records[b], "session"), session);
            EXPECT_EQ(member(records[b], "outcome") == "finished", intact) << member(records[b], "outcome");
            EXPECT_EQ(member(records[b], "records_sent"), std::to_string(target.record_count));
            EXPECT_EQ(member(records[b], "bytes_sent"), std::to_string(target.record_bytes));
            EXPECT_EQ(records[b].count("event") + records[b].count("t"), 0u);
            // What the board got: the station's copy of the inputs, the same bytes.
            const auto loader = testbed::json_members(records[b].at("loader"));
            const auto program = testbed::json_members(records[b].at("program"));
            EXPECT_EQ(member(loader, "sha256"), loader_sha256);
            EXPECT_EQ(member(program, "sha256"), program_sha256);
            port_finished += intact ? 1 : 0;
        }
        const int port_boards = static_cast<int>(records.size());
        EXPECT_EQ(member(summed[p], "port"), ports[p].port);
        EXPECT_EQ(member(summed[p], "boards"), std::to_string(port_boards));
        EXPECT_EQ(member(summed[p], "finished"), std::to_string(port_finished));
        EXPECT_EQ(member(summed[p], "failed"), std::to_string(port_boards - port_finished));
        boards += port_boards;
        finished += port_finished;
    }
    EXPECT_EQ(member(totals, "boards"), std::to_string(boards));
    EXPECT_EQ(member(totals, "finished"), std::to_string(finished));
    EXPECT_EQ(member(totals, "failed"), std::to_string(boards - finished));
    std::ostringstream closing;
    closing << boards << (boards == 1 ? " board on " : " boards on ") << ports.size()
            << (ports.size() == 1 ? " port: " : " ports: ") << finished << " finished, " << boards - finished
            << " failed (" << stopped << " stopped). Logs in " << dir << "\n";
    EXPECT_NE(out.find(closing.str()), std::string::npos) << closing.str() << out;
}

// The rows of the table as last drawn on the terminal, by port: its
// columns (split at two blanks or more).
std::map<std::string, std::vector<std::string>> last_table(const std::string& tty) {
    std::map<std::string, std::vector<std::string>> rows;
    std::istringstream in(tty);
    for (std::string line; std::getline(in, line);) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '\x1b') {
                while (i < line.size() && !std::isalpha(static_cast<unsigned char>(line[i]))) ++i;
            } else if (line[i] != '\r') {
                text += line[i];
            }
        }
        std::vector<std::string> columns;
        for (size_t at = 0; at < text.size();) {
            const size_t gap = text.find("  ", at);
            columns.push_back(text.substr(at, gap - at));
            if (gap == std::string::npos) break;
            at = text.find_first_not_of(' ', gap);
        }
        if (columns.size() > 2) rows[columns[0]] = columns;
    }
    return rows;
}

// Room for the table's whole width.
void widen_terminal(const std::string& tty) {
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 250;
    ioctl(fd, TIOCSWINSZ, &size);
    close(fd);
}

// Targets on ptys, one per config, and fwld-gang over all of them.
struct GangRun {
    Inputs in;
    testbed::TempDir logs;
    std::vector<std::unique_ptr<EventLog>> events;
    std::vector<std::unique_ptr<sim::SimTarget>> targets;
    std::vector<std::string> ports;

    GangRun(const std::string& program, std::vector<sim::TargetConfig> configs) : in(loader_bytes(200), program) {
        for (sim::TargetConfig& config : configs) {
            events.push_back(std::make_unique<EventLog>());
            config.on_event = events.back()->recorder();
            targets.push_back(std::make_unique<sim::SimTarget>(std::move(config)));
            EXPECT_TRUE(targets.back()->start()) << targets.back()->last_error();
            ports.push_back(testbed::port_for(targets.back()->device_path()));
        }
    }

    // `shell`: started by a shell that stays, leading the session.
    std::unique_ptr<testbed::FwldProcess> start(const std::string& write_wait = "0", bool shell = false,
                                                const std::string& erase_wait = "0") {
        std::string list;
        for (const std::string& port : ports) list += (list.empty() ? "" : ",") + port;
        std::vector<std::string> command = gang_command();
        if (shell) command.insert(command.begin(), {"/bin/sh", "-c", "\"$@\"; sleep 60", "sh"});
        return std::make_unique<testbed::FwldProcess>(testbed::with_args(
            command,
            {"--logs", logs.path(), list, "--", in.loader, in.program, erase_wait, write_wait, "20", "0", "@:115200",
             "0"}));
    }

    std::string log(size_t i) const { return as_text(testbed::read_file(logs.file(log_name(ports[i])))); }

    bool all_at(const std::string& event, milliseconds timeout) {
        for (auto& log : events) {
            if (!log->wait_for(event, timeout)) return false;
        }
        return true;
    }
};

TEST(Gang, EveryPortFinishesAndKeepsItsWholeConsoleInItsLog) {
    const int count = testbed::ports_are_com_numbers() ? 2 : 3;  // Wine starts slowly
    const std::string program = program_of(20, 16);
    GangRun run(program, std::vector<sim::TargetConfig>(count));
    const testbed::ProcessResult r = run.start()->finish(60s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    std::vector<PortBoards> boards;
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(run.ports[i]);
        ASSERT_TRUE(run.targets[i]->wait_done(5s));
        const sim::TargetReport target = run.targets[i]->report();
        EXPECT_TRUE(target.matches(expected_records(program)));
        boards.push_back({run.ports[i], {target}});
        // The summary's figures are the result record's.
        const std::string line = summary_line(r.out, run.ports[i]);
        std::istringstream words(line);
        std::string port, outcome, time, unit, bytes, records, message;
        words >> port >> outcome >> time >> unit >> bytes >> records;
        std::getline(words, message);
        EXPECT_EQ(outcome + " " + bytes + " " + records + message,
                  "finished " + std::to_string(target.record_bytes) + " " + std::to_string(target.record_count) +
                      "  Finish version up.")
            << line;
        // Not a terminal: a plain line for each stage, in order.
        size_t at = 0;
        for (const char* stage : {": waiting for power on\n", ": loader\n", ": erase wait\n", ": program\n",
                                  ": finished in "}) {
            const size_t next = r.out.find(run.ports[i] + stage, at);
            EXPECT_NE(next, std::string::npos) << stage << r.out;
            at = next == std::string::npos ? at : next;
        }
        EXPECT_NE(r.out.find(std::to_string(target.record_bytes) + " bytes, " + std::to_string(target.record_count) +
                             " records\n"),
                  std::string::npos);
        // fwld's console byte for byte: banner and usage (in the order its
        // streams were flushed), progress lines that end in a bare '\r',
        // the last line.
        const std::string log = run.log(i);
        EXPECT_NE(log.find(banner_line), std::string::npos) << log;
        EXPECT_NE(log.find(usage_text), std::string::npos);
        EXPECT_EQ(log.find("\r\n"), std::string::npos);
        EXPECT_TRUE(ends_with(log, finished)) << log;
    }
    expect_records_match(run.logs.path(), r.out, boards, run.in, 0);
}

TEST(Gang, AWriteErrorFailsItsPortAloneWithFwldsMessage) {
    const std::string program = program_of(20, 16);
    std::vector<sim::TargetConfig> configs(3);
    configs[1].actions[2] = {sim::RecordAction::error('N')};
    GangRun run(program, std::move(configs));
    const testbed::ProcessResult r = run.start()->finish(60s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    std::vector<PortBoards> boards;
    for (int i : {0, 1, 2}) {
        ASSERT_TRUE(run.targets[i]->wait_done(5s));
        boards.push_back({run.ports[i], {run.targets[i]->report()}});
        if (i == 1) continue;
        EXPECT_TRUE(run.targets[i]->report().matches(expected_records(program)));
        EXPECT_NE(summary_line(r.out, run.ports[i]).find(" finished "), std::string::npos) << r.out;
    }
    const std::string failed = summary_line(r.out, run.ports[1]);
    EXPECT_NE(failed.find(" target-error "), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(failed, "Write Error (N-1)")) << failed;
    EXPECT_NE(r.out.find(run.ports[1] + ": target-error at program after "), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(run.log(1), "N-1\n\nWrite Error\a\n"));
    expect_records_match(run.logs.path(), r.out, boards, run.in, 0);
}

// ---- ending early ----

std::vector<std::string> command_line_of(const std::string& pid) {
    const sim::Bytes bytes = testbed::read_file("/proc/" + pid + "/cmdline");
    std::vector<std::string> words(1);
    for (uint8_t b : bytes) {
        if (b == 0) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(b);
        }
    }
    return words;
}

bool ends_with_any(const std::string& text, std::initializer_list<const char*> tails) {
    for (const char* tail : tails) {
        if (ends_with(text, tail)) return true;
    }
    return false;
}

// The fwld (fwld.exe under Wine) processes given a file in this folder:
// the station's copies of the inputs are in its logs folder.
std::vector<pid_t> fwld_processes(const std::string& folder) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::vector<std::string> words = command_line_of(entry->d_name);
        const bool is_fwld = ends_with_any(words[0], {"/fwld", "\\fwld.exe", "/fwld.exe"});
        const bool in_folder = std::any_of(words.begin(), words.end(),
                                           [&](const std::string& w) {
                                               return w.rfind(folder, 0) == 0 && w.size() > folder.size() &&
                                                      (w[folder.size()] == '/' || w[folder.size()] == '\\');
                                           });
        if (is_fwld && in_folder) found.push_back(pid);
    }
    if (proc != nullptr) closedir(proc);
    return found;
}

struct ProcessInfo {
    char state;
    int parent;
};

bool process_info(pid_t pid, ProcessInfo* info) {
    FILE* stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (stat == nullptr) return false;
    char line[1024] = "";
    const bool got = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char* rest = got ? std::strrchr(line, ')') : nullptr;
    return rest != nullptr && std::sscanf(rest + 1, " %c %d", &info->state, &info->parent) == 2;
}

pid_t child_of(pid_t parent) {
    pid_t found = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        ProcessInfo info{};
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid > 0 && process_info(pid, &info) && info.parent == parent) found = pid;
    }
    if (proc != nullptr) closedir(proc);
    return found;
}

// Gone, or dead and waiting for a parent that is not fwld-gang.
bool ended(pid_t pid) {
    ProcessInfo info{};
    return !process_info(pid, &info) || info.state == 'Z' || info.state == 'X';
}

bool all_ended(const std::vector<pid_t>& pids, milliseconds within) {
    for (auto waited = 0ms;; waited += 20ms) {
        bool all = true;
        for (pid_t pid : pids) all = all && ended(pid);
        if (all) return true;
        if (waited >= within) return false;
        std::this_thread::sleep_for(20ms);
    }
}

termios settings_of(const std::string& tty) {
    termios t{};
    const int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    tcgetattr(fd, &t);
    close(fd);
    return t;
}

bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST(Gang, AKeyOrCtrlCEndsEveryUpdateAndTheTerminalComesBack) {
    const termios fresh = settings_of(testbed::Pty(false).slave_path());
    for (const char key : {'k', '\x03'}) {
        SCOPED_TRACE(key == 'k' ? "key" : "Ctrl-C");
        GangRun run(program_of(200, 16), std::vector<sim::TargetConfig>(3));
        auto gang = run.start("10");
        ASSERT_TRUE(run.all_at("record 3:", 20s)) << gang->out_so_far();
        // It has taken its keyboard.
        EXPECT_EQ(settings_of(gang->tty_path()).c_lflag & ICANON, 0u);
        const std::vector<pid_t> fwld = fwld_processes(run.logs.path());
        EXPECT_EQ(fwld.size(), 3u);
        gang->press_key(key);
        const testbed::ProcessResult r = gang->finish(30s);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        std::vector<PortBoards> boards;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_NE(summary_line(r.out, run.ports[i]).find(" interrupted "), std::string::npos) << r.out;
            EXPECT_TRUE(ends_with(run.log(i), interrupted)) << run.log(i);
            run.targets[i]->stop();
            EXPECT_FALSE(run.targets[i]->report().completed);
            boards.push_back({run.ports[i], {run.targets[i]->report()}});
        }
        expect_records_match(run.logs.path(), r.out, boards, run.in, 3);
        EXPECT_TRUE(all_ended(fwld, 0ms));
        EXPECT_TRUE(same_settings(settings_of(gang->tty_path()), fresh));
    }
}

TEST(Gang, CtrlCAgainEndsWhatAKeyDoesNot) {
    // fwld counts its erase wait whatever the keyboard says.
    GangRun run(program_of(2, 16), std::vector<sim::TargetConfig>(1));
    auto gang = run.start("0", false, "60");
    ASSERT_TRUE(gang->wait_for_out(run.ports[0] + ": erase wait", 20s)) << gang->out_so_far();
    gang->press_key('\x03');
    ASSERT_TRUE(gang->wait_for_out("stopping every port", 10s)) << gang->out_so_far();
    EXPECT_FALSE(gang->wait_exit(300ms));
    gang->press_key('\x03');
    const testbed::ProcessResult r = gang->finish(20s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    const std::string line = summary_line(r.out, run.ports[0]);
    if (testbed::ports_are_com_numbers()) {
        // Wine delivers no Ctrl-Break to a process group: fwld.exe is ended
        // outright, without its record.
        EXPECT_TRUE(ends_with(line, "fwld ended by Ctrl-C and no result record")) << line;
    } else {
        EXPECT_NE(line.find(" signal "), std::string::npos) << r.out;
        EXPECT_TRUE(ends_with(line, " Ended by SIGINT")) << line;
    }
    EXPECT_NE(r.out.find("1 board on 1 port: 0 finished, 1 failed (1 stopped)."), std::string::npos) << r.out;
}

TEST(Gang, NoFwldOutlivesAKilledGang) {
    // Twenty seconds of updates: they must end long before that.
    GangRun run(program_of(2000, 16), std::vector<sim::TargetConfig>(2));
    // fwld-gang alone dies: the shell and its terminal stay.
    auto shell = run.start("10", true);
    ASSERT_TRUE(run.all_at("record 3:", 20s)) << shell->out_so_far();
    const std::vector<pid_t> fwld = fwld_processes(run.logs.path());
    ASSERT_EQ(fwld.size(), 2u);
    const pid_t gang = child_of(shell->pid());
    ASSERT_GT(gang, 0);
    ::kill(gang, SIGKILL);
    EXPECT_TRUE(all_ended(fwld, 5s));
}


// ---- a station ----

// Boards plugged in turn into one fixture: each a target of its own, its
// verdict taken when its run is over, pulled out (its link gone) once fwld
// has closed the port, as an operator takes a board out; then the next.
// A board whose config pulls its plug is taken out there, in the middle of
// its update, and the next is in 0.2 s later. Last, one that never answers
// stays in.
class Fixture {
public:
    Fixture(std::string link, std::vector<sim::TargetConfig> boards)
        : link_(std::move(link)), boards_(std::move(boards)), thread_([this] { run(); }) {}
    ~Fixture() {
        if (thread_.joinable()) thread_.join();
        if (idle_) idle_->stop();
    }
    const std::string& link() const { return link_; }
    // The reports of the boards that ran, once all have.
    std::vector<sim::TargetReport> reports(milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, timeout, [&] { return over_; });
        return reports_;
    }
    // The idle board is being woken: a fwld waits at power-on.
    bool idle_woken(milliseconds timeout) {
        for (auto waited = 0ms; waited < timeout; waited += 50ms) {
            {
                std::lock_guard<std::mutex> lock(mu_);
                if (idle_ && !idle_->report().password_ms.empty()) return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

private:
    void run() {
        std::vector<sim::TargetReport> reports;
        for (sim::TargetConfig config : boards_) {
            config.link_path = link_;
            const bool pulled = !config.pulls.empty();
            EventLog steps;
            config.on_event = steps.recorder();
            config.replug_unplugged = 600s;  // never back: the next board takes its place
            sim::SimTarget target(std::move(config));
            if (!target.start()) break;
            if (pulled) {
                if (!steps.wait_for("unplugged", 60s)) break;
                reports.push_back(target.report());
                target.stop();
                std::this_thread::sleep_for(200ms);
                continue;
            }
            if (!target.wait_done(60s)) break;
            reports.push_back(target.report());
            target.wait_tool_closed(2s);
            target.stop();
            // Out, and a moment later the next one in: the station has
            // ended the fwld it may have started on the board that went.
            std::this_thread::sleep_for(1s);
        }
        sim::TargetConfig idle;
        idle.link_path = link_;
        idle.never_ack = true;
        std::lock_guard<std::mutex> lock(mu_);
        idle_ = std::make_unique<sim::SimTarget>(std::move(idle));
        idle_->start();
        reports_ = std::move(reports);
        over_ = true;
        cv_.notify_all();
    }

    std::string link_;
    std::vector<sim::TargetConfig> boards_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool over_ = false;
    std::vector<sim::TargetReport> reports_;
    std::unique_ptr<sim::SimTarget> idle_;
    std::thread thread_;
};

// One board plugged in at `link`: its target, run to its end and kept in.
struct Plugged {
    std::unique_ptr<sim::SimTarget> target;
    sim::TargetReport report;  // as its run ended

    Plugged(const std::string& link, sim::TargetConfig config = {}) {
        config.link_path = link;
        target = std::make_unique<sim::SimTarget>(std::move(config));
        EXPECT_TRUE(target->start()) << target->last_error();
    }
    // Its run has ended and taken its report.
    bool done() {
        if (!target->wait_done(60s)) return false;
        report = target->report();
        return true;
    }
    // ... and fwld has closed the port. Not where a station starts the next
    // fwld at once on a board left in: that one may open it first.
    bool run_over() { return done() && target->wait_tool_closed(5s); }
};

// fwld-gang with its output on its terminal, as an operator sees it. Not
// under Wine, whose console draws a terminal of its own a character at a
// time: there the output is plain.
std::unique_ptr<testbed::FwldProcess> gang_on_terminal(const std::vector<std::string>& args) {
    std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/tty"};
    if (testbed::ports_are_com_numbers()) command.clear();
    auto gang = std::make_unique<testbed::FwldProcess>(testbed::with_args(testbed::with_args(command, gang_command()), args));
    widen_terminal(gang->tty_path());
    return gang;
}

// The row of a port in the table: its name, or the end of a long one.
std::vector<std::string> row_of(const std::map<std::string, std::vector<std::string>>& rows, const std::string& port) {
    for (const auto& [name, columns] : rows) {
        if (name == port || (name.rfind("...", 0) == 0 && ends_with(port, name.substr(3)))) return columns;
    }
    return {};
}

size_t lines_in(const std::string& path) { return log_lines(path).size(); }

bool file_reaches(const std::string& path, size_t lines, milliseconds timeout) {
    for (auto waited = 0ms; waited < timeout; waited += 50ms) {
        if (lines_in(path) >= lines) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(Gang, AStationTakesBoardAfterBoardAndCountsOnlyBoards) {
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir links, logs;
    std::vector<sim::TargetConfig> second(3);
    second[1].actions[2] = {sim::RecordAction::error('N')};
    // The links go first, so that the ports are named before any board is in.
    const std::vector<std::string> paths = {links.file("ttyA"), links.file("ttyB")};
    const std::vector<std::string> ports = {testbed::port_for(paths[0]), testbed::port_for(paths[1])};
    auto gang = gang_on_terminal({"--logs", logs.path(), "--station", ports[0] + "," + ports[1], "--", in.loader,
                                  in.program, "0", "0", "20", "0", "@:115200"});
    Fixture a(paths[0], std::vector<sim::TargetConfig>(3));
    Fixture b(paths[1], std::move(second));
    const std::vector<PortBoards> boards = {{ports[0], a.reports(90s)}, {ports[1], b.reports(90s)}};
    ASSERT_EQ(boards[0].boards.size(), 3u);
    ASSERT_EQ(boards[1].boards.size(), 3u);
    ASSERT_TRUE(file_reaches(logs.file("results.jsonl"), 6, 20s)) << gang->tty_so_far();
    // A fwld waits on each for a board that does not answer: the stop is no board.
    ASSERT_TRUE(a.idle_woken(20s) && b.idle_woken(20s)) << gang->tty_so_far();
    gang->press_key('q');
    const testbed::ProcessResult r = gang->finish(30s);
    EXPECT_EQ(r.exit_code, 1) << r.err;
    if (testbed::ports_are_com_numbers()) {
        expect_records_match(logs.path(), r.out, boards, in, 0);
        // One plain line per board.
        EXPECT_EQ(count_of(r.out, ports[0] + ": board "), 3u) << r.out;
        EXPECT_NE(r.out.find(ports[1] + ": board 2 target-error at program after "), std::string::npos) << r.out;
        return;
    }
    std::string tty = gang->tty_so_far();
    std::erase(tty, '\r');
    expect_records_match(logs.path(), tty, boards, in, 0);
    const auto rows = last_table(tty);
    const std::vector<std::string> row_a = row_of(rows, ports[0]), row_b = row_of(rows, ports[1]);
    ASSERT_EQ(row_a.size(), 8u) << tty;
    ASSERT_EQ(row_b.size(), 8u) << tty;
    EXPECT_EQ(row_a[4] + " " + row_a[5], "3 0");  // FINISHED, FAILED
    EXPECT_EQ(row_b[4] + " " + row_b[5], "2 1");
    EXPECT_EQ(row_a[6].rfind("finished ", 0), 0u) << row_a[6];  // the last board
    EXPECT_EQ(row_a[1], "interrupted");  // the run the stop ended
}

TEST(Gang, ABoardPulledMidUpdateEndsItsRunAndTheNextGetsAWholeUpdate) {
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir links, logs;
    const std::string path = links.file("ttyP");
    const std::string port = testbed::port_for(path);
    testbed::FwldProcess gang(testbed::with_args(
        gang_command(),
        {"--logs", logs.path(), "--station", port, "--", in.loader, in.program, "0", "0", "20", "0", "@:115200"}));
    std::vector<sim::TargetConfig> boards(2);
    boards[0].pulls = {sim::LinePull::at(sim::LinePull::AfterRecord, 5)};
    Fixture fixture(path, std::move(boards));
    const std::vector<PortBoards> seen = {{port, fixture.reports(90s)}};
    ASSERT_EQ(seen[0].boards.size(), 2u) << gang.out_so_far();
    ASSERT_TRUE(file_reaches(logs.file("results.jsonl"), 2, 20s)) << gang.out_so_far();
    ASSERT_TRUE(fixture.idle_woken(20s)) << gang.out_so_far();
    gang.press_key('q');
    const testbed::ProcessResult r = gang.finish(30s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_TRUE(seen[0].boards[1].matches(expected_records(program)));
    const auto pulled = testbed::json_members(lines_of(logs.file("results.jsonl"))[0]);
    EXPECT_EQ(member(pulled, "outcome"), "removed");
    EXPECT_EQ(member(pulled, "message"), "Board removed in the program stage after record 5 of 21.");
    expect_records_match(logs.path(), r.out, seen, in, 0);
}

TEST(Gang, ResultsThatCanNotBeWrittenHoldTheStationAndNoLineIsLost) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir links;
    const std::string path = links.file("ttyR");
    const std::string port = testbed::port_for(path);
    // The system's words for a full disk, then what the station does.
    const char held[] = "; no new board until it can.\n";
    for (const bool room_again : {true, false}) {
        SCOPED_TRACE(room_again ? "room again" : "stopped while full");
        testbed::TempDir logs;
        const std::string results = logs.file("results.jsonl");
        ASSERT_EQ(symlink("/dev/full", results.c_str()), 0);
        testbed::FwldProcess gang(testbed::with_args(
            gang_command(),
            {"--logs", logs.path(), "--station", port, "--", in.loader, in.program, "0", "0", "20", "0", "@:115200"}));
        auto board = std::make_unique<Plugged>(path);
        ASSERT_TRUE(board->run_over()) << gang.out_so_far();
        ASSERT_TRUE(gang.wait_for_out(held, 10s)) << gang.out_so_far();
        EXPECT_NE(gang.out_so_far().find("fwld-gang: results.jsonl can not be written: "), std::string::npos);
        std::vector<sim::TargetReport> reports = {board->report};
        board.reset();
        if (room_again) {
            // The next board is not woken while the last one's record is held.
            board = std::make_unique<Plugged>(path);
            std::this_thread::sleep_for(3s);
            EXPECT_TRUE(board->target->report().password_ms.empty());
            // A file in the link's place: the line goes in, then the next board.
            ASSERT_EQ(unlink(results.c_str()), 0);
            ASSERT_TRUE(board->done()) << gang.out_so_far();
            reports.push_back(board->report);
            EXPECT_NE(gang.out_so_far().find("fwld-gang: results.jsonl is written again; the station goes on."),
                      std::string::npos);
            ASSERT_TRUE(file_reaches(results, 2, 20s)) << gang.out_so_far();
        }
        gang.press_key('q');
        const testbed::ProcessResult r = gang.finish(30s);
        if (room_again) {
            EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
            expect_records_match(logs.path(), r.out, {{port, reports}}, in, 0);
            continue;
        }
        // Stopped with the line unwritten: it goes to stderr whole, and the exit says so.
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        const size_t at = r.err.find("{\"time\"");
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::string line = r.err.substr(at, r.err.find('\n', at) + 1 - at);
        EXPECT_TRUE(testbed::is_json_line(line)) << line;
        const auto m = testbed::json_members(line);
        EXPECT_EQ(member(m, "outcome"), "finished");
        EXPECT_EQ(member(m, "records_sent"), std::to_string(reports[0].record_count));
    }
}

// Hands-free boards: each wakes only when its DTR line is pulsed, which
// every fwld of the station does (RS); nobody switches a board on.
TEST(Gang, AStationResetsBoardsThroughTheirLinesWithoutAHand) {
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::ModemLines lines;
    testbed::TempDir links, logs;
    const std::string paths[] = {links.file("ttyH1"), links.file("ttyH2")};
    const std::string ports[] = {testbed::port_for(paths[0]), testbed::port_for(paths[1])};
    testbed::FwldProcess gang(
        testbed::with_args(gang_command(), {"--logs", logs.path(), "--station", ports[0] + "," + ports[1], "--",
                                            in.loader, in.program, "0", "0", "20", "0", "@:115200", "0",
                                            "RS-dtr,50,dtr:-dtr,20,dtr"}),
        lines.env());
    sim::TargetConfig board;
    board.lines_folder = lines.folder();
    board.reset_line = sim::ResetLine::Dtr;
    // Left in, a finished board is woken no more: the next fwld's reset
    // finds it done (so its port may never be seen closed).
    Plugged a(paths[0], board), b(paths[1], board);
    ASSERT_TRUE(a.done() && b.done()) << gang.out_so_far();
    ASSERT_TRUE(file_reaches(logs.file("results.jsonl"), 2, 20s)) << gang.out_so_far();
    gang.press_key('q');
    const testbed::ProcessResult r = gang.finish(30s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    for (const Plugged* p : {&a, &b}) {
        p->target->stop();
        EXPECT_GE(p->target->report().woken_ms, 0);
        EXPECT_GT(p->target->report().lines.size(), 2u);
    }
    expect_records_match(logs.path(), r.out, {{ports[0], {a.report}}, {ports[1], {b.report}}}, in, 0);
}

TEST(Gang, QStopsAStationGentlyTheBoardBegunFinishes) {
    const std::string program = program_of(200, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir links, logs;
    const std::string paths[] = {links.file("ttyG1"), links.file("ttyG2")};
    const std::string ports[] = {testbed::port_for(paths[0]), testbed::port_for(paths[1])};
    testbed::FwldProcess gang(testbed::with_args(
        gang_command(), {"--logs", logs.path(), "--station", ports[0] + "," + ports[1], "--", in.loader, in.program,
                         "0", "10", "20", "0", "@:115200"}));
    EventLog steps;
    sim::TargetConfig updating, idle;
    updating.on_event = steps.recorder();
    idle.never_ack = true;
    Plugged board(paths[0], updating);
    Plugged waiting(paths[1], idle);
    ASSERT_TRUE(steps.wait_for("record 3:", 20s)) << gang.out_so_far();
    for (auto waited = 0ms; waiting.target->report().password_ms.empty() && waited < 20s; waited += 50ms) {
        std::this_thread::sleep_for(50ms);
    }
    gang.press_key('q');
    ASSERT_TRUE(board.run_over()) << gang.out_so_far();
    const testbed::ProcessResult r = gang.finish(30s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("fwld-gang: stopping: no new board, the boards begun finish;"), std::string::npos) << r.out;
    EXPECT_TRUE(board.report.matches(expected_records(program)));
    EXPECT_FALSE(waiting.target->report().password_ms.empty());
    expect_records_match(logs.path(), r.out, {{ports[0], {board.report}}, {ports[1], {}}}, in, 0);
}

TEST(Gang, APortNamedLikeAWindowsDeviceKeepsItsLogInAFile) {
    if (!testbed::ports_are_com_numbers()) GTEST_SKIP() << "COM1 to COM9 are names of Windows' devices";
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir logs;
    sim::SimTarget target{sim::TargetConfig{}};
    ASSERT_TRUE(target.start()) << target.last_error();
    const std::string port = "COM" + testbed::low_port_for(target.device_path());
    testbed::FwldProcess gang(testbed::with_args(
        gang_command(), {"--logs", logs.path(), port, "--", in.loader, in.program, "0", "0", "20", "0", "@:115200"}));
    const testbed::ProcessResult r = gang.finish(60s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(target.wait_done(5s));
    // Only the update reached the port: a log written to the device would be junk on its line.
    EXPECT_TRUE(target.report().matches(expected_records(program)));
    EXPECT_TRUE(target.report().framing_errors.empty());
    const std::string log = as_text(testbed::read_file(logs.file(port + "_.log")));
    EXPECT_NE(log.find(banner_line), std::string::npos) << log;
    EXPECT_TRUE(ends_with(log, finished)) << log;
}

TEST(Gang, AStationRefusesAtItsStartWhatFwldWouldRefuse) {
    Inputs in(loader_bytes(200), program_of(2, 16));
    testbed::Pty line;
    const std::string port = testbed::port_for(line.slave_path());
    // A file fwld can not use, an argument it refuses, an option it does not know.
    const struct {
        std::string program, p1, option;
        const char* says;
    } cases[] = {{in.dir.file("missing.hex"), "0", "ES1", "Hex file can not open."},
                 {in.program, "99999999999", "ES1", "does not fit in 32 bits."},
                 {in.program, "0", "To10", "Note: 'To10' after p6 is no option fwld knows"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        testbed::TempDir logs;
        testbed::FwldProcess gang(testbed::with_args(
            gang_command(), {"--logs", logs.path(), "--station", port, "--", in.loader, c.program, c.p1, "0", "20",
                             "0", "@:115200", "0", c.option, "LG" + logs.file("fwld.jsonl")}));
        const testbed::ProcessResult r = gang.finish(30s);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("fwld-gang: fwld refuses these arguments"), std::string::npos) << r.err;
        // Before any port: no run, no log, no byte on the line.
        EXPECT_EQ(lines_in(logs.file("results.jsonl")), 0u);
        EXPECT_EQ(lines_in(logs.file("fwld.jsonl")), 0u);
        EXPECT_TRUE(testbed::read_file(logs.file(log_name(port))).empty());
        int waiting = -1;
        EXPECT_EQ(ioctl(line.master(), FIONREAD, &waiting), 0);
        EXPECT_EQ(waiting, 0);
    }
}

// ---- ports as they are plugged in ----

TEST(Gang, WatchStartsEachBoardAsItIsPluggedInAndNeverTwice) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "--watch is tested natively";
    const std::string program = program_of(20, 16);
    Inputs in(loader_bytes(200), program);
    testbed::TempDir links, logs;
    const std::string w1 = links.file("ttyW1"), w2 = links.file("ttyW2");
    // A link whose device has gone is no port. (The pattern passes over the
    // names the targets publish their links under for a moment.)
    ASSERT_EQ(symlink(links.file("gone").c_str(), links.file("ttyW9").c_str()), 0);
    testbed::FwldProcess gang(testbed::with_args(
        gang_command(), {"--logs", logs.path(), "--watch", links.file("ttyW?"), "--", in.loader, in.program, "0", "0",
                         "20", "0", "@:115200"}));
    ASSERT_TRUE(gang.wait_for_out("a station on the devices", 10s)) << gang.out_so_far();
    auto a = std::make_unique<Plugged>(w1);
    ASSERT_TRUE(a->run_over()) << gang.out_so_far();
    sim::TargetConfig failing;
    failing.actions[2] = {sim::RecordAction::error('N')};
    Plugged b(w2, failing);
    ASSERT_TRUE(b.run_over()) << gang.out_so_far();
    // Left plugged in, neither is woken again: a restart would be there
    // within the second's pause and a look.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(a->target->report().bytes_after_end, 0u);
    EXPECT_EQ(b.target->report().bytes_after_end, 0u);
    // Out and in again: the next board.
    const sim::TargetReport first = a->report;
    a = std::make_unique<Plugged>(w1);
    ASSERT_TRUE(a->run_over()) << gang.out_so_far();
    ASSERT_TRUE(file_reaches(logs.file("results.jsonl"), 3, 20s)) << gang.out_so_far();
    gang.press_key('q');
    const testbed::ProcessResult r = gang.finish(30s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    expect_records_match(logs.path(), r.out, {{w1, {first, a->report}}, {w2, {b.report}}}, in, 0);
    EXPECT_NE(r.out.find(w1 + ": board 2 finished in "), std::string::npos) << r.out;
}

}  // namespace
}  // namespace e2e
