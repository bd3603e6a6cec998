// A target that sends anything at all, and a console that goes away: fwld
// neither crashes nor lets the target drive the terminal, and every run ends
// with a defined status and message.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "e2e_support.h"

namespace e2e {
namespace {

using Action = sim::RecordAction;

// ---- a console that goes away ----

sim::TargetConfig silent_after(int k) {
    sim::TargetConfig config;
    config.actions[k] = {Action::silent()};
    return config;
}

bool canonical_with_echo(int tty) {
    termios t{};
    return tcgetattr(tty, &t) == 0 && (t.c_lflag & ICANON) != 0 && (t.c_lflag & ECHO) != 0;
}

TEST(ConsoleLoss, AKilledLogReaderDoesNotEndTheUpdate) {
    const std::string program = program_of(30, 20);
    Inputs in(loader_bytes(10), program);
    EventLog log;
    sim::TargetConfig config;
    config.on_event = log.recorder();
    sim::SimTarget target(config);
    ASSERT_TRUE(target.start()) << target.last_error();
    // A write wait keeps fwld busy with progress lines well after the loss.
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {"", "20"}));
    ASSERT_TRUE(log.wait_for("record 5:", 10s));
    tool->close_err_pipe();
    const testbed::ProcessResult r = tool->finish(20s);
    EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err.find(finished), std::string::npos);  // written into the void
    ASSERT_TRUE(target.wait_done(5s));
    EXPECT_TRUE(target.report().matches(expected_records(program)));
}

TEST(ConsoleLoss, AKeyAndCtrlCStillEndTheRunAndTheTerminalComesBack) {
    for (const char key : {' ', '\x03'}) {
        SCOPED_TRACE(key == ' ' ? "key" : "Ctrl-C");
        Inputs in(loader_bytes(10), program_of(3, 8));
        sim::SimTarget target(silent_after(1));
        ASSERT_TRUE(target.start()) << target.last_error();
        auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path()));
        const int tty = open(tool->tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(tty, 0);
        ASSERT_TRUE(target.wait_done(10s));  // fwld waits for the next 'H'
        EXPECT_FALSE(canonical_with_echo(tty));  // it holds the keyboard
        tool->close_err_pipe();
        tool->press_key(key);
        const testbed::ProcessResult r = tool->finish(10s);
        EXPECT_FALSE(r.timed_out);
        if (key == ' ') {
            EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
            EXPECT_EQ(r.exit_code, 1);
        } else if (testbed::ports_are_com_numbers()) {
            EXPECT_EQ(r.exit_code, 58);  // STATUS_CONTROL_C_EXIT's low byte, as Wine passes it on
        } else {
            EXPECT_EQ(r.signal, SIGINT);
        }
        EXPECT_TRUE(canonical_with_echo(tty));
        close(tty);
    }
}

// Every signal that ends a run puts the terminal back first, and the run
// still ends by that signal, as the shell expects.
TEST(ConsoleLoss, EveryEndingSignalRestoresTheTerminal) {
    if (testbed::ports_are_com_numbers()) GTEST_SKIP() << "Windows programs get no POSIX signals";
    const std::pair<int, const char*> signals[] = {
        {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}};
    for (const auto& [sig, name] : signals) {
        SCOPED_TRACE(name);
        Inputs in(loader_bytes(10), program_of(3, 8));
        sim::SimTarget target(silent_after(1));
        ASSERT_TRUE(target.start()) << target.last_error();
        const std::string log = in.dir.file("runs.jsonl");
        auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), {}, {"LG" + log}));
        const int tty = open(tool->tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(tty, 0);
        ASSERT_TRUE(target.wait_done(10s));  // fwld waits for the next 'H'
        EXPECT_FALSE(canonical_with_echo(tty));
        ::kill(tool->pid(), sig);
        const testbed::ProcessResult r = tool->finish(10s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.signal, sig);
        EXPECT_TRUE(canonical_with_echo(tty));
        close(tty);
        // And the run's line is in the result log.
        const std::vector<std::string> lines = log_lines(log);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("\"outcome\":\"signal\",\"exit\":" + std::to_string(128 + sig) +
                                ",\"message\":\"Ended by " + name + "\"}\n"),
                  std::string::npos)
            << lines[0];
    }
}

// ---- a hostile target ----

// How a stream ends, and so how fwld's run must end.
enum Fate { WRITE_ERROR, ERASE_ERROR_1, ERASE_ERROR_2, TYPE_ERROR, LONE_N, SILENCE, ALL_ASKED, FATES };

const char end_of_stream[] = "--end of the hostile stream--";

struct HostileRun {
    uint64_t seed;
    Fate fate;
    std::string stream;
    std::string ending;  // what fwld's stderr must end with
    int exit_code;
    bool needs_key;      // fwld waits at the end; a key ends it
};

long pick(std::mt19937_64& rng, long low, long high) { return std::uniform_int_distribution<long>(low, high)(rng); }

// Random bytes without the fatal commands, so the stream's fate decides
// how the run ends, and without the line commands: a line opened here would
// swallow the start of the next piece and spill its text as commands.
std::string filler(std::mt19937_64& rng, long length) {
    std::string bytes;
    while (static_cast<long>(bytes.size()) < length) {
        const char c = static_cast<char>(pick(rng, 0, 255));
        if (std::string("NEe0MS").find(c) == std::string::npos) bytes += c;
    }
    return bytes;
}

std::string escaped(unsigned char byte) {
    const bool control = (byte < 0x20 && byte != '\t') || (byte >= 0x7F && byte <= 0x9F);
    char out[8];
    std::snprintf(out, sizeof out, control ? "\\x%02x" : "%c", byte);
    return out;
}

std::string speed_line(std::mt19937_64& rng) {
    static const char* const rates[] = {"9600", "19200", "38400", "57600", "115200"};
    switch (pick(rng, 0, 4)) {
    case 0: return std::string(rates[pick(rng, 0, 4)]) + ",8,N,1,x\n";
    case 1: return "fast\x1b[31m,8,N,1,x\n";
    case 2: return "-9600,8,N,1,x\n";
    case 3: return "99999999999,8,N,1,x\n";
    // Overlong: the rest is read as commands. Not a number, whose rate a port
    // might refuse, which ends the run (a fate of its own elsewhere).
    default: return "x" + filler(rng, 199);
    }
}

std::string message_line(std::mt19937_64& rng) {
    switch (pick(rng, 0, 5)) {
    case 0: return "\x1b[2J\x1b[H\x1b]0;owned\x07\n";
    case 1: return "\x9b" "31mred\x9b" "0m\x8d\n";
    case 2: return "\xa0\xc2\x9b\xff\xfe high\n";
    case 3: return "FLASH OK\n";
    case 4: return filler(rng, 300);  // overlong
    default: return "\r\x08\x08\x7f tail\n";
    }
}

HostileRun hostile_run(uint64_t seed, Fate fate) {
    std::mt19937_64 rng(seed);
    HostileRun run{seed, fate, {}, {}, 1, false};
    static const char commands[] = "HRZh12\r\n";
    for (long piece = pick(rng, 10, 40); piece > 0; --piece) {
        switch (pick(rng, 0, 3)) {
        case 0: run.stream += filler(rng, pick(rng, 1, 40)); break;
        case 1: run.stream += commands[pick(rng, 0, sizeof commands - 2)]; break;
        case 2: run.stream += 'S' + speed_line(rng); break;
        default: run.stream += 'M' + message_line(rng); break;
        }
    }
    // A line feed ends any line still open, so the fate's bytes are commands.
    run.stream += '\n';
    switch (fate) {
    case WRITE_ERROR: {
        // A control byte: C0 or C1, which the console must show escaped.
        const long control = pick(rng, 0, 0x20 + 0x21 - 1);
        const auto detail = static_cast<unsigned char>(control < 0x20 ? control : 0x7F + (control - 0x20));
        run.stream += std::string("N") + static_cast<char>(detail);
        run.ending = "N-" + escaped(detail) + "\n\nWrite Error\a\n";
        break;
    }
    case ERASE_ERROR_1: run.stream += 'E', run.ending = "\nErase Error1\a\n"; break;
    case ERASE_ERROR_2: run.stream += 'e', run.ending = "\nErase Error2\a\n"; break;
    case TYPE_ERROR: run.stream += '0', run.ending = "\nType Error\a\n"; break;
    case LONE_N:
        run.stream += std::string("M") + end_of_stream + "\nN";
        run.ending = std::string(">>") + end_of_stream + "\n\nWrite Error\a\n";
        run.needs_key = true;
        break;
    case SILENCE:
        run.stream += std::string("M") + end_of_stream + "\n";
        run.ending = interrupted;
        run.needs_key = true;
        break;
    default:
        run.stream += std::string(260, 'H');
        run.ending = finished;
        run.exit_code = 0;
        break;
    }
    return run;
}

// Bytes a terminal would act on: C0 other than fwld's own CR, LF, bell and
// a harmless tab; DEL; C1.
std::string control_bytes_in(const std::string& text) {
    std::string found;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool own = b == '\r' || b == '\n' || b == '\a' || b == '\t';
        if ((b < 0x20 && !own) || (b >= 0x7F && b <= 0x9F)) found += escaped(b);
    }
    return found;
}

TEST(HostileTarget, RandomStreamsEndEveryRunCleanly) {
    const char* fixed = std::getenv("FWLD_HOSTILE_SEED");
    const uint64_t base =
        fixed != nullptr && *fixed != '\0' ? std::strtoull(fixed, nullptr, 10) : std::random_device{}();
    // Every fate once, and one more picked by the seed; all side by side.
    std::vector<HostileRun> runs;
    for (int f = 0; f <= FATES; ++f) {
        const uint64_t seed = base + static_cast<uint64_t>(f);
        runs.push_back(hostile_run(seed, f < FATES ? static_cast<Fate>(f) : static_cast<Fate>(seed % FATES)));
    }
    const std::string program = program_of(240, 8);  // more records than the streams ask for
    std::vector<std::unique_ptr<Inputs>> inputs;
    std::vector<std::unique_ptr<sim::SimTarget>> targets;
    std::vector<std::unique_ptr<testbed::FwldProcess>> tools;
    for (const HostileRun& run : runs) {
        inputs.push_back(std::make_unique<Inputs>(loader_bytes(10), program));
        sim::TargetConfig config;
        config.actions[0] = {Action::junk(run.stream), Action::silent()};
        targets.push_back(std::make_unique<sim::SimTarget>(config));
        ASSERT_TRUE(targets.back()->start()) << targets.back()->last_error();
        tools.push_back(testbed::FwldProcess::fwld(quick_args(*inputs.back(), targets.back()->device_path())));
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        const HostileRun& run = runs[i];
        SCOPED_TRACE("hostile seed " + std::to_string(run.seed) + ", fate " + std::to_string(run.fate) +
                     " (FWLD_HOSTILE_SEED=" + std::to_string(base) + " repeats the set)");
        testbed::FwldProcess& tool = *tools[i];
        if (run.needs_key) {
            // The marker line is printed just before the last byte is read.
            EXPECT_TRUE(tool.wait_for_err(std::string(">>") + end_of_stream + "\n", 15s)) << tool.err_so_far();
            std::this_thread::sleep_for(200ms);
            EXPECT_FALSE(tool.wait_exit(0ms));
            tool.press_key(' ');
        }
        const testbed::ProcessResult r = tool.finish(15s);
        EXPECT_FALSE(r.timed_out);
        EXPECT_TRUE(r.exited) << "ended by signal " << r.signal;
        EXPECT_EQ(r.exit_code, run.exit_code);
        EXPECT_TRUE(ends_with(r.err, run.ending)) << r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 300));
        EXPECT_EQ(control_bytes_in(r.err), "");
    }
}

}  // namespace
}  // namespace e2e
