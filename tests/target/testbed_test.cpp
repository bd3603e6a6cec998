// The test bed's runner and pty helpers, checked with ordinary commands.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testbed.h"

using testbed::FwldProcess;
using testbed::ms;

namespace {
FwldProcess sh(const std::string& script) { return FwldProcess({"/bin/sh", "-c", script}); }
}  // namespace

TEST(Runner, CapturesStdoutAndStderrApartAndExactly) {
    auto p = sh("printf 'out\\001\\377'; printf 'err\\n' >&2; printf 'more' ; exit 3");
    testbed::ProcessResult r = p.finish(ms(10000));
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "out\001\377more");
    EXPECT_EQ(r.err, "err\n");
}

TEST(Runner, LargeOutputOnBothStreamsDoesNotBlockTheProgram) {
    auto p = sh("head -c 1000000 /dev/zero; head -c 700000 /dev/zero >&2; head -c 5 /dev/zero");
    testbed::ProcessResult r = p.finish(ms(20000));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), 1000005u);
    EXPECT_EQ(r.err.size(), 700000u);
}

TEST(Runner, TheControllingTerminalIsItsOwnPtyAndTakesKeys) {
    auto p = sh("tty; stty -icanon -echo min 1 < /dev/tty; printf ready >&2; "
                "k=$(dd bs=1 count=1 < /dev/tty 2>/dev/null); echo \"key=$k\"");
    ASSERT_TRUE(p.wait_for_err("ready", ms(10000)));
    p.press_key('q');
    testbed::ProcessResult r = p.finish(ms(10000));
    EXPECT_EQ(r.out, p.tty_path() + "\nkey=q\n");
    EXPECT_EQ(r.exit_code, 0);
}

TEST(Runner, ReportsTheProcessorTimeOfTheProcess) {
    // Busy in the shell itself, then asleep: the sleep adds nothing.
    auto p = sh("i=0; while [ $i -lt 300000 ]; do i=$((i+1)); done; sleep 0.5");
    testbed::ProcessResult r = p.finish(ms(30000));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_GT(r.cpu_s, 0.02);
    EXPECT_LT(r.cpu_s, 20.0);
}

TEST(Runner, TimeoutKillsTheWholeGroup) {
    testbed::TempDir dir;
    std::string mark = dir.file("survivor");
    auto p = sh("(sleep 2; touch " + mark + ") & sleep 60");
    auto t0 = std::chrono::steady_clock::now();
    testbed::ProcessResult r = p.finish(ms(300));
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(8000));
    std::this_thread::sleep_for(ms(2500));
    EXPECT_NE(access(mark.c_str(), F_OK), 0) << "a child of the program outlived it";
}

TEST(Runner, ReportsTheSignalThatEndedIt) {
    testbed::ProcessResult r = sh("kill -TERM $$").finish(ms(10000));
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.signal, SIGTERM);
}

TEST(Runner, WaitsAndStreamsSoFar) {
    auto p = sh("printf 'step1' >&2; read x; printf 'step2' >&2");
    EXPECT_TRUE(p.wait_for_err("step1", ms(10000)));
    EXPECT_FALSE(p.wait_exit(ms(100)));
    EXPECT_EQ(p.err_so_far(), "step1");
    p.type("go\n");  // stdin is the terminal too
    EXPECT_TRUE(p.wait_exit(ms(10000)));
    EXPECT_EQ(p.finish(ms(1000)).err, "step1step2");
    EXPECT_FALSE(sh("exit 0").wait_for_out("never", ms(5000)));  // gives up when the stream ends
}

TEST(Runner, DestructorKillsAndReaps) {
    pid_t pid;
    {
        auto p = sh("sleep 60");
        pid = p.pid();
        ASSERT_EQ(kill(pid, 0), 0);
    }
    // Reaped: no zombie left to signal.
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_NE(kill(pid, 0), 0);
}

TEST(Runner, MissingProgramExits127) {
    testbed::ProcessResult r = FwldProcess({"/nonexistent/program"}).finish(ms(10000));
    EXPECT_EQ(r.exit_code, 127);
}

TEST(Runner, CommandPrefixComesFromTheEnvironment) {
    EXPECT_EQ(testbed::split_command("  wine  /x/fwld.exe "), (std::vector<std::string>{"wine", "/x/fwld.exe"}));
    const char* old = std::getenv("FWLD_TEST_COMMAND");
    std::string saved = old ? old : "";
    setenv("FWLD_TEST_COMMAND", "wine /opt/fwld.exe", 1);
    EXPECT_EQ(testbed::fwld_command(), (std::vector<std::string>{"wine", "/opt/fwld.exe"}));
    unsetenv("FWLD_TEST_COMMAND");
    EXPECT_EQ(testbed::fwld_command(), (std::vector<std::string>{FWLD_BINARY}));
    if (old) setenv("FWLD_TEST_COMMAND", saved.c_str(), 1);
    EXPECT_EQ(testbed::with_args({"a"}, {"b", "c"}), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(Runner, ExtraEnvironmentAndWorkingDirectory) {
    testbed::TempDir dir;
    FwldProcess p({"/bin/sh", "-c", "printf '%s %s' \"$FOO\" \"$(pwd)\""}, {"FOO=bar"}, dir.path());
    EXPECT_EQ(p.finish(ms(10000)).out, "bar " + dir.path());
}

TEST(SerialEnd, TalksToAPtyAndSeesItHangUp) {
    auto pty = std::make_unique<testbed::Pty>();
    testbed::SerialEnd end(pty->slave_path());
    end.send("ping");
    char buf[8] = {};
    ASSERT_EQ(read(pty->master(), buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    ASSERT_EQ(write(pty->master(), "pong\n", 5), 5);
    EXPECT_EQ(end.recv_until("\n", ms(5000)), "pong\n");
    EXPECT_EQ(end.recv(1, ms(50)), "");
    EXPECT_FALSE(end.hung_up(ms(50)));
    pty.reset();
    EXPECT_TRUE(end.hung_up(ms(5000)));
}

namespace {

testbed::ProcessResult probe(const std::string& device, const std::vector<std::string>& steps,
                             const std::vector<std::string>& env) {
    return FwldProcess(testbed::with_args(testbed::lines_probe_command(), testbed::with_args({device}, steps)), env)
        .finish(ms(10000));
}

uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

TEST(ModemLines, TheStandInGivesAPtyDtrAndRtsAndSendsEachChangeWithItsTime) {
    testbed::Pty pty;
    testbed::ModemLines lines;
    // Without the stand-in a pty has no modem lines.
    testbed::ProcessResult bare = probe(pty.slave_path(), {"get"}, {});
    EXPECT_EQ(bare.exit_code, 1);
    EXPECT_NE(bare.err.find("Inappropriate ioctl"), std::string::npos) << bare.err;
    // No target listening: the lines still answer, nothing waits.
    testbed::ProcessResult alone = probe(pty.slave_path(), {"get", "-rts", "get"}, lines.env());
    EXPECT_EQ(alone.exit_code, 0) << alone.err;
    EXPECT_EQ(alone.out, "DTR=1 RTS=1 DSR=1 CTS=1 CD=1\nDTR=1 RTS=0 DSR=1 CTS=1 CD=1\n");

    const std::string name = pty.slave_path().substr(5);  // "pts/N"
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = lines.folder() + "/" + name.substr(0, 3) + "-" + name.substr(4);
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int target = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(target, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    const uint64_t before = monotonic_ns();
    // Setting a line that is on, or clearing one that is off, changes nothing.
    const std::string both = std::to_string(TIOCM_DTR | TIOCM_RTS);
    testbed::ProcessResult r = probe(pty.slave_path(), {"dtr", "-dtr", "-dtr", "rts", "set=" + both, "get"}, lines.env());
    const uint64_t after = monotonic_ns();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "DTR=1 RTS=1 DSR=1 CTS=1 CD=1\n");
    std::vector<std::string> heard;
    char message[128];
    for (ssize_t n; (n = recv(target, message, sizeof message, 0)) > 0;) heard.emplace_back(message, n);
    close(target);
    ASSERT_EQ(heard.size(), 2u) << ::testing::PrintToString(heard);
    unsigned long long at[2] = {};
    EXPECT_EQ(std::sscanf(heard[0].c_str(), "DTR=0 RTS=1 %llu", &at[0]), 1) << heard[0];
    EXPECT_EQ(std::sscanf(heard[1].c_str(), "DTR=1 RTS=1 %llu", &at[1]), 1) << heard[1];
    EXPECT_LE(before, at[0]);
    EXPECT_LE(at[0], at[1]);
    EXPECT_LE(at[1], after);
}
