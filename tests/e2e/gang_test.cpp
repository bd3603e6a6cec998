// fwld-gang against simulated targets: every port finishes, a port that
// fails fails alone, a key ends them all, and no fwld outlives fwld-gang.
#include <dirent.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
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
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE(run.ports[i]);
        ASSERT_TRUE(run.targets[i]->wait_done(5s));
        EXPECT_TRUE(run.targets[i]->report().matches(expected_records(program)));
        const std::string line = summary_line(r.out, run.ports[i]);
        EXPECT_NE(line.find(" finished "), std::string::npos) << r.out;
        EXPECT_NE(line.find("Finish version up."), std::string::npos) << line;
        // Not a terminal: a plain line for each stage.
        EXPECT_NE(r.out.find(run.ports[i] + ": loader"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(run.ports[i] + ": done in "), std::string::npos) << r.out;
        // fwld's console byte for byte: banner and usage (in the order its
        // streams were flushed), progress lines that end in a bare '\r',
        // the last line.
        const std::string log = run.log(i);
        EXPECT_NE(log.find(banner_line), std::string::npos) << log;
        EXPECT_NE(log.find(usage_text), std::string::npos);
        EXPECT_EQ(log.find("\r\n"), std::string::npos);
        EXPECT_TRUE(ends_with(log, finished)) << log;
    }
    EXPECT_NE(r.out.find(std::to_string(count) + " ports: " + std::to_string(count) + " finished"), std::string::npos);
}

TEST(Gang, AWriteErrorFailsItsPortAloneWithFwldsMessage) {
    const std::string program = program_of(20, 16);
    std::vector<sim::TargetConfig> configs(3);
    configs[1].actions[2] = {sim::RecordAction::error('N')};
    GangRun run(program, std::move(configs));
    const testbed::ProcessResult r = run.start()->finish(60s);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    for (int i : {0, 2}) {
        ASSERT_TRUE(run.targets[i]->wait_done(5s));
        EXPECT_TRUE(run.targets[i]->report().matches(expected_records(program)));
        EXPECT_NE(summary_line(r.out, run.ports[i]).find(" finished "), std::string::npos) << r.out;
    }
    const std::string failed = summary_line(r.out, run.ports[1]);
    EXPECT_NE(failed.find(" failed "), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(failed, "Write Error")) << failed;
    EXPECT_TRUE(ends_with(run.log(1), "N-1\n\nWrite Error\a\n"));
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

// The fwld (fwld.exe under Wine) processes that were given this loader.
std::vector<pid_t> fwld_processes(const std::string& loader) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::vector<std::string> words = command_line_of(entry->d_name);
        const bool is_fwld = ends_with_any(words[0], {"/fwld", "\\fwld.exe", "/fwld.exe"});
        if (is_fwld && std::find(words.begin(), words.end(), loader) != words.end()) found.push_back(pid);
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
        const std::vector<pid_t> fwld = fwld_processes(run.in.loader);
        EXPECT_EQ(fwld.size(), 3u);
        gang->press_key(key);
        const testbed::ProcessResult r = gang->finish(30s);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_NE(summary_line(r.out, run.ports[i]).find(" stopped "), std::string::npos) << r.out;
            EXPECT_TRUE(ends_with(run.log(i), interrupted)) << run.log(i);
            EXPECT_FALSE(run.targets[i]->report().completed);
        }
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
    EXPECT_NE(line.find(" stopped "), std::string::npos) << r.out;
    EXPECT_TRUE(ends_with(line, "fwld ended by Ctrl-C")) << line;
}

TEST(Gang, NoFwldOutlivesAKilledGang) {
    // Twenty seconds of updates: they must end long before that.
    GangRun run(program_of(2000, 16), std::vector<sim::TargetConfig>(2));
    // fwld-gang alone dies: the shell and its terminal stay.
    auto shell = run.start("10", true);
    ASSERT_TRUE(run.all_at("record 3:", 20s)) << shell->out_so_far();
    const std::vector<pid_t> fwld = fwld_processes(run.in.loader);
    ASSERT_EQ(fwld.size(), 2u);
    const pid_t gang = child_of(shell->pid());
    ASSERT_GT(gang, 0);
    ::kill(gang, SIGKILL);
    EXPECT_TRUE(all_ended(fwld, 5s));
}

}  // namespace
}  // namespace e2e
