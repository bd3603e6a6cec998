#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "testbed.h"

extern char** environ;

namespace testbed {

namespace {

using Clock = std::chrono::steady_clock;

std::runtime_error sys_error(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

std::string find_in_path(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return name;
}

}  // namespace

std::vector<std::string> split_command(const std::string& text) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        size_t start = i;
        while (i < text.size() && text[i] != ' ') ++i;
        if (i > start) out.push_back(text.substr(start, i - start));
    }
    return out;
}

std::vector<std::string> fwld_command() {
    const char* env = std::getenv("FWLD_TEST_COMMAND");
    if (env && *env) {
        std::vector<std::string> cmd = split_command(env);
        if (!cmd.empty()) return cmd;
    }
    return {FWLD_BINARY};
}

std::vector<std::string> fwld_target_command() { return {FWLD_TARGET_BINARY}; }

std::vector<std::string> with_args(std::vector<std::string> prefix, const std::vector<std::string>& args) {
    prefix.insert(prefix.end(), args.begin(), args.end());
    return prefix;
}

struct FwldProcess::Impl {
    pid_t pid = -1;
    int pidfd = -1;
    bool reaped = false;
    int status = 0;
    struct rusage usage{};
    int master = -1;
    // The terminal held open from here until the end, so that the master
    // never reads as hung up before the program has opened it.
    int slave_hold = -1;
    std::string tty_path;
    int out_fd = -1;
    int err_fd = -1;
    int wake_fd = -1;
    int drop_err_fd = -1;  // asks the reader to close the stderr pipe
    std::thread reader;

    mutable std::mutex mu;
    std::condition_variable cv;
    std::string out, err, tty;
    bool out_open = true, err_open = true;

    // The program is gone but something outside its process group (a
    // helper Wine started in a session of its own) may still hold the
    // pipes: take what the program wrote without waiting for their end.
    void take_what_is_left() {
        for (auto [fd, sink] : {std::pair<int, std::string*>{out_fd, &out}, {err_fd, &err}}) {
            if (fd < 0) continue;
            char buf[65536];
            ssize_t r;
            while ((r = read(fd, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> lock(mu);
                sink->append(buf, static_cast<size_t>(r));
            }
        }
    }

    void read_loop() {
        bool tty_open = true;
        for (;;) {
            pollfd fds[5];
            int idx_out = -1, idx_err = -1, idx_tty = -1;
            nfds_t n = 0;
            fds[n++] = {wake_fd, POLLIN, 0};
            const int idx_drop = static_cast<int>(n);
            fds[n++] = {drop_err_fd, POLLIN, 0};
            if (out_fd >= 0) idx_out = static_cast<int>(n), fds[n++] = {out_fd, POLLIN, 0};
            if (err_fd >= 0) idx_err = static_cast<int>(n), fds[n++] = {err_fd, POLLIN, 0};
            if (tty_open) idx_tty = static_cast<int>(n), fds[n++] = {master, POLLIN, 0};
            if (out_fd < 0 && err_fd < 0) break;
            if (poll(fds, n, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[0].revents) {
                take_what_is_left();
                break;
            }
            if (fds[idx_drop].revents) {
                uint64_t count = 0;
                ssize_t ignored = read(drop_err_fd, &count, sizeof count);
                (void)ignored;
                std::lock_guard<std::mutex> lock(mu);
                if (err_fd >= 0) ::close(err_fd);
                err_fd = -1;
                err_open = false;
                cv.notify_all();
                continue;
            }
            auto drain = [&](int idx, int& fd, std::string& sink, bool& open_flag) {
                if (idx < 0 || !fds[idx].revents) return;
                char buf[65536];
                ssize_t r = read(fd, buf, sizeof buf);
                std::lock_guard<std::mutex> lock(mu);
                if (r > 0) {
                    sink.append(buf, static_cast<size_t>(r));
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ::close(fd);
                    fd = -1;
                    open_flag = false;
                }
                cv.notify_all();
            };
            drain(idx_out, out_fd, out, out_open);
            drain(idx_err, err_fd, err, err_open);
            if (idx_tty >= 0 && fds[idx_tty].revents) {
                char buf[4096];
                ssize_t r = read(master, buf, sizeof buf);
                std::lock_guard<std::mutex> lock(mu);
                if (r > 0)
                    tty.append(buf, static_cast<size_t>(r));
                else if (r == 0 || (errno != EAGAIN && errno != EINTR))
                    tty_open = false;  // no slave left: the program is gone
            }
        }
        std::lock_guard<std::mutex> lock(mu);
        out_open = err_open = false;
        cv.notify_all();
    }

    bool try_reap(bool block) {
        if (reaped) return true;
        pid_t r;
        do {
            r = wait4(pid, &status, block ? 0 : WNOHANG, &usage);
        } while (r < 0 && errno == EINTR);
        if (r == pid) reaped = true;
        return reaped;
    }

    void kill_group(int sig) {
        if (reaped) return;
        ::kill(-pid, sig);
        ::kill(pid, sig);
    }

    bool wait_stream(const std::string& text, ms timeout, bool err_stream) {
        std::unique_lock<std::mutex> lock(mu);
        return cv.wait_for(lock, timeout, [&] {
            const std::string& s = err_stream ? err : out;
            return s.find(text) != std::string::npos || !(err_stream ? err_open : out_open);
        }) && (err_stream ? err : out).find(text) != std::string::npos;
    }

    void stop_reader() {
        if (!reader.joinable()) return;
        uint64_t one = 1;
        ssize_t ignored = write(wake_fd, &one, sizeof one);
        (void)ignored;
        reader.join();
    }
};

FwldProcess::FwldProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                         const std::string& cwd)
    : impl_(std::make_unique<Impl>()) {
    Impl& d = *impl_;
    if (argv.empty()) throw std::runtime_error("empty command");

    d.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d.master < 0) throw sys_error("posix_openpt");
    char name[128];
    if (grantpt(d.master) != 0 || unlockpt(d.master) != 0 || ptsname_r(d.master, name, sizeof name) != 0) {
        ::close(d.master);
        throw sys_error("pty setup");
    }
    d.tty_path = name;
    d.slave_hold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) {
        ::close(d.master);
        throw sys_error("pipe");
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        ::close(d.master);
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        throw sys_error("pipe");
    }
    d.wake_fd = eventfd(0, EFD_CLOEXEC);
    d.drop_err_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    // Everything the child needs is built before fork: after it only
    // async-signal-safe calls are allowed.
    std::string exe = find_in_path(argv[0]);
    std::vector<std::string> env_store;
    for (char** e = environ; *e; ++e) env_store.emplace_back(*e);
    for (const std::string& e : extra_env) {
        std::string key = e.substr(0, e.find('=') + 1);
        std::erase_if(env_store, [&](const std::string& have) { return have.compare(0, key.size(), key) == 0; });
        env_store.push_back(e);
    }
    std::vector<char*> cargv, cenv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (std::string& e : env_store) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    const char* dir = cwd.empty() ? nullptr : cwd.c_str();

    pid_t pid = fork();
    if (pid < 0) {
        ::close(out_pipe[0]), ::close(out_pipe[1]), ::close(err_pipe[0]), ::close(err_pipe[1]);
        ::close(d.master);
        throw sys_error("fork");
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig = 1; sig < NSIG; ++sig) signal(sig, SIG_DFL);
        // A test that ends a program with SIGQUIT leaves no core file behind.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        setsid();
        // Opened without O_NOCTTY by a session leader: the controlling tty.
        int tty = open(name, O_RDWR);
        if (tty < 0) _exit(126);
        ioctl(tty, TIOCSCTTY, 0);
        dup2(tty, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        syscall(SYS_close_range, 3U, ~0U, 0U);
        if (dir && chdir(dir) != 0) _exit(126);
        execve(exe.c_str(), cargv.data(), cenv.data());
        _exit(127);
    }
    d.pid = pid;
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    d.out_fd = out_pipe[0];
    d.err_fd = err_pipe[0];
    fcntl(d.out_fd, F_SETFL, fcntl(d.out_fd, F_GETFL) | O_NONBLOCK);
    fcntl(d.err_fd, F_SETFL, fcntl(d.err_fd, F_GETFL) | O_NONBLOCK);
    d.pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    d.reader = std::thread([&d] { d.read_loop(); });
}

std::unique_ptr<FwldProcess> FwldProcess::fwld(const std::vector<std::string>& args,
                                               const std::vector<std::string>& extra_env) {
    return std::make_unique<FwldProcess>(with_args(fwld_command(), args), extra_env);
}

FwldProcess::~FwldProcess() {
    Impl& d = *impl_;
    d.kill_group(SIGKILL);
    d.try_reap(true);
    d.stop_reader();
    for (int fd : {d.master, d.slave_hold, d.out_fd, d.err_fd, d.wake_fd, d.drop_err_fd, d.pidfd})
        if (fd >= 0) ::close(fd);
}

pid_t FwldProcess::pid() const { return impl_->pid; }
const std::string& FwldProcess::tty_path() const { return impl_->tty_path; }

void FwldProcess::press_key(char key) { type(std::string(1, key)); }

void FwldProcess::type(const std::string& text) {
    ssize_t n = write(impl_->master, text.data(), text.size());
    if (n != static_cast<ssize_t>(text.size())) throw sys_error("write to the terminal");
}

bool FwldProcess::wait_exit(ms timeout) {
    Impl& d = *impl_;
    if (d.try_reap(false)) return true;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<ms>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        if (d.pidfd >= 0) {
            pollfd p{d.pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left));
        } else {
            // No pidfd on this kernel: look again every 10 ms.
            std::this_thread::sleep_for(std::min(ms(left), ms(10)));
        }
        if (d.try_reap(false)) return true;
        if (Clock::now() >= deadline) return false;
    }
}

bool FwldProcess::wait_for_out(const std::string& text, ms timeout) { return impl_->wait_stream(text, timeout, false); }
bool FwldProcess::wait_for_err(const std::string& text, ms timeout) { return impl_->wait_stream(text, timeout, true); }

std::string FwldProcess::out_so_far() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->out;
}

std::string FwldProcess::err_so_far() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->err;
}

std::string FwldProcess::tty_so_far() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->tty;
}

// Once, to the process group the program leads: a second signal would be a
// second one to the program too.
void FwldProcess::kill(int sig) {
    if (!impl_->reaped) ::kill(-impl_->pid, sig);
}

void FwldProcess::close_err_pipe() {
    Impl& d = *impl_;
    uint64_t one = 1;
    ssize_t ignored = write(d.drop_err_fd, &one, sizeof one);
    (void)ignored;
    std::unique_lock<std::mutex> lock(d.mu);
    d.cv.wait_for(lock, ms(5000), [&] { return !d.err_open; });
}

ProcessResult FwldProcess::finish(ms timeout) {
    Impl& d = *impl_;
    ProcessResult result;
    if (!wait_exit(timeout)) {
        result.timed_out = true;
        d.kill_group(SIGKILL);
        d.try_reap(true);
    }
    // Anything still holding the pipes in the process group goes too (its id
    // stays reserved while it has members); a holder outside it gets a
    // moment, then the rest is taken without waiting for the pipes' end.
    ::kill(-d.pid, SIGKILL);
    {
        std::unique_lock<std::mutex> lock(d.mu);
        d.cv.wait_for(lock, ms(500), [&] { return !d.out_open && !d.err_open; });
    }
    d.stop_reader();
    if (WIFEXITED(d.status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(d.status);
    } else if (WIFSIGNALED(d.status)) {
        result.signal = WTERMSIG(d.status);
    }
    if (d.reaped) {
        result.cpu_s = static_cast<double>(d.usage.ru_utime.tv_sec + d.usage.ru_stime.tv_sec) +
                       static_cast<double>(d.usage.ru_utime.tv_usec + d.usage.ru_stime.tv_usec) / 1e6;
    }
    std::lock_guard<std::mutex> lock(d.mu);
    result.out = d.out;
    result.err = d.err;
    return result;
}

double cpu_seconds(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* stat = std::fopen(path.c_str(), "r");
    if (stat == nullptr) return -1;
    char line[1024];
    const bool got = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    // The command name may hold blanks; the fields after it are plain numbers.
    const char* rest = got ? std::strrchr(line, ')') : nullptr;
    unsigned long user = 0, system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2) {
        return -1;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string target_device_path(FwldProcess& target, ms timeout) {
    if (!target.wait_for_out("\n", timeout)) return "";
    std::string out = target.out_so_far();
    std::string line = out.substr(0, out.find('\n'));
    const std::string head = "device: ";
    return line.compare(0, head.size(), head) == 0 ? line.substr(head.size()) : "";
}

}  // namespace testbed
