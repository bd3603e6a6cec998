// fwld-gang on POSIX. Each fwld runs in a session of its own with a fresh
// pseudo-terminal as its controlling terminal, standard input and output:
// fwld watches that terminal for a key, so a byte written to its master is
// a key press; everything fwld writes comes back on the master, in raw mode
// so byte for byte. If fwld-gang dies, however it dies, the masters close
// and each fwld gets the hang-up signal of its terminal, which ends it.
// Its event stream comes on a pipe whose write end it holds as descriptor
// 3, named to it as /dev/fd/3.
//
// One poll() waits on every master and stream, fwld-gang's own keyboard, a
// pipe that the signal handlers write to, and the station's device notices.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "clock.h"
#include "platform.h"
#include "keyboard.h"
#include "signal_handler_posix.h"
#include "session.h"

namespace {

struct Child {
    pid_t pid;   // 0: never started
    int master;  // -1 once the output has ended
    int stream;  // the event stream's read end; -1 once it has ended
    bool reaped;
    int status;
    bool reported;  // EVENT_ENDED given
};

Child children[GANG_PORTS_MAX];
int signal_pipe[2] = {-1, -1};
bool session_ready = false;

// fwld-gang's own keyboard (console/keyboard.h), while it has one.
int tty_fd = -1;

// Signals that end fwld-gang's run, and the one that tells of a child.
constexpr int caught_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};
// Stopping fwld-gang would stop reading the children's output, and a full
// terminal buffer would stall their updates.
constexpr int ignored_signals[] = {SIGPIPE, SIGTSTP, SIGTTIN, SIGTTOU};

unsigned char read_buffer[4096];
// fwld writes its console a line at a time. The output is gathered for a
// moment before it is read, so that sixteen of them do not wake fwld-gang
// for every line; keys and signals still come at once.
constexpr uint32_t GATHER_MS = 100;
uint32_t output_read_ms = 0;

// The descriptor each fwld finds its event stream on.
constexpr int STREAM_FD = 3;
char stream_option[] = "EV/dev/fd/3";

// Owners of poll slots besides the children's: 2 i for child i's console,
// 2 i + 1 for its stream.
constexpr int SIGNALS = -1;
constexpr int KEYBOARD = -2;
constexpr int NOTICES = -3;
pollfd slots[GANG_PORTS_MAX * 2 + 3];
int owners[GANG_PORTS_MAX * 2 + 3];
int slot_count = 0;
int next_slot = 0;
int notice_fd = -1;

void note_signal(int signo) {
    const int saved_errno = errno;
    const unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = write(signal_pipe[1], &byte, 1);
    (void)ignored;
    errno = saved_errno;
}

void start_session() {
    if (session_ready) return;
    session_ready = true;
    if (pipe(signal_pipe) == 0) {
        for (int fd : signal_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC), fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    for (int signo : caught_signals) signal_handler_set(signo, note_signal, nullptr, SA_RESTART);
    for (int signo : ignored_signals) signal_handler_set(signo, SIG_IGN);
    std::atexit(terminal_restore);
}

// In the child between vfork and exec, on fwld-gang's own memory: only
// system calls, and never a return. fwld-gang's signals are blocked until
// the child has put them back to their defaults, so that none of its
// handlers runs here.
[[noreturn]] void become_fwld(int slave, int stream, const char* program, char* const* argv) {
    for (int signo : caught_signals) signal(signo, SIG_DFL);
    for (int signo : ignored_signals) signal(signo, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    // Out of the way of the descriptors it is about to take.
    if (stream <= STREAM_FD) stream = fcntl(stream, F_DUPFD_CLOEXEC, STREAM_FD + 1);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    dup2(stream, STREAM_FD);  // without close-on-exec, unlike every other
    execv(program, argv);
    // Framed as fwld frames a fatal stop, so it is this port's message.
    char message[GANG_TEXT_MAX * 2];
    const int n =
        std::snprintf(message, sizeof message, "\nfwld-gang: can not run %s: %s\n", program, std::strerror(errno));
    ssize_t ignored = write(STDERR_FILENO, message, static_cast<size_t>(n > 0 ? n : 0));
    (void)ignored;
    _exit(127);
}

bool open_terminal_pair(int* master, int* slave, char* reason, size_t size) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    const char* name = *master >= 0 && grantpt(*master) == 0 && unlockpt(*master) == 0 ? ptsname(*master) : nullptr;
    *slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    struct termios raw{};
    if (*slave >= 0 && tcgetattr(*slave, &raw) == 0) {
        cfmakeraw(&raw);
        if (tcsetattr(*slave, TCSANOW, &raw) == 0) return true;
    }
    std::snprintf(reason, size, "no pseudo-terminal for fwld: %s", std::strerror(errno));
    if (*slave >= 0) close(*slave);
    if (*master >= 0) close(*master);
    return false;
}

// Every child that has ended, each with one call: the others are left alone.
void reap_children() {
    int status = 0;
    for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG)) > 0;) {
        for (Child& c : children) {
            if (c.pid != pid || c.reaped) continue;
            c.reaped = true;
            c.status = status;
        }
    }
}

ChildEnd end_of(int status) {
    if (WIFEXITED(status)) return ChildEnd{END_EXIT, WEXITSTATUS(status)};
    const int signo = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ChildEnd{signo == SIGINT ? END_CTRL_C : END_SIGNAL, signo};
}

bool ended_child(Event* event) {
    for (int i = 0; i < GANG_PORTS_MAX; ++i) {
        Child& c = children[i];
        if (c.pid > 0 && c.master < 0 && c.stream < 0 && c.reaped && !c.reported) {
            c.reported = true;
            *event = Event{EVENT_ENDED, i, nullptr, 0, end_of(c.status), 0, nullptr, 0};
            return true;
        }
    }
    return false;
}

bool signal_event(Event* event) {
    unsigned char signo = 0;
    if (read(signal_pipe[0], &signo, 1) != 1) return false;
    if (signo == SIGCHLD) {
        reap_children();
        return ended_child(event);
    }
    *event = Event{signo == SIGINT ? EVENT_INTERRUPT : EVENT_TERMINATE, -1, nullptr, 0, {}, signo, nullptr, 0};
    return true;
}

bool keyboard_event(Event* event) {
    // The keys are taken, so that none is left for the shell.
    static int codes[64];
    const int count = keyboard_take_key_codes(codes, 64);
    if (count == KEYBOARD_GONE) tty_fd = -1;
    if (count <= 0) return false;
    *event = Event{EVENT_KEY, -1, nullptr, 0, {}, 0, codes, count};
    return true;
}

// EIO on a master: the last of fwld's terminal has closed; 0 on a stream:
// every write end has.
bool output_event(int index, bool stream, Event* event) {
    Child& c = children[index];
    int& fd = stream ? c.stream : c.master;
    const ssize_t n = read(fd, read_buffer, sizeof read_buffer);
    if (n > 0) {
        output_read_ms = clock_tick_ms();
        const EventKind kind = stream ? EVENT_STREAM : EVENT_OUTPUT;
        *event = Event{kind, index, read_buffer, static_cast<size_t>(n), {}, 0, nullptr, 0};
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    close(fd);
    fd = -1;
    reap_children();
    return ended_child(event);
}

// Its bytes only say "look now".
bool notice_event(Event* event) {
    while (read(notice_fd, read_buffer, sizeof read_buffer) > 0) {
    }
    *event = Event{EVENT_NOTICE, -1, nullptr, 0, {}, 0, nullptr, 0};
    return true;
}

bool ready_slot_event(Event* event) {
    while (next_slot < slot_count) {
        const int slot = next_slot++;
        if (slots[slot].revents == 0) continue;
        const int owner = owners[slot];
        if (owner == SIGNALS    ? signal_event(event)
            : owner == KEYBOARD ? keyboard_event(event)
            : owner == NOTICES  ? notice_event(event)
                                : output_event(owner / 2, owner % 2 == 1, event)) {
            return true;
        }
    }
    return false;
}

void add_slot(int fd, int owner) {
    slots[slot_count] = pollfd{fd, POLLIN, 0};
    owners[slot_count++] = owner;
}

}  // namespace

bool child_start(int index, const char* program, char** argv, int stream_argument, char* reason, size_t size) {
    start_session();
    int master = -1, slave = -1;
    if (!open_terminal_pair(&master, &slave, reason, size)) return false;
    int stream[2] = {-1, -1};
    if (pipe(stream) != 0) {
        std::snprintf(reason, size, "no pipe for fwld's events: %s", std::strerror(errno));
        close(master), close(slave);
        return false;
    }
    for (int fd : stream) fcntl(fd, F_SETFD, FD_CLOEXEC);
    argv[stream_argument] = stream_option;
    // vfork: a station starts fwld for every board, and a fork would copy
    // fwld-gang's page tables each time only for exec to drop them.
    sigset_t all, before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const pid_t pid = vfork();
    if (pid == 0) become_fwld(slave, stream[1], program, argv);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    close(slave);
    // Only the child may hold the write end, or the stream never ends.
    close(stream[1]);
    if (pid < 0) {
        std::snprintf(reason, size, "can not start fwld: %s", std::strerror(errno));
        close(master), close(stream[0]);
        return false;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(stream[0], F_SETFL, fcntl(stream[0], F_GETFL) | O_NONBLOCK);
    children[index] = Child{pid, master, stream[0], false, 0, false};
    return true;
}

void child_press_key(int index) {
    const Child& c = children[index];
    if (c.pid <= 0 || c.master < 0) return;
    ssize_t ignored = write(c.master, " ", 1);
    (void)ignored;
}

void child_interrupt(int index) { child_forward(index, SIGINT); }

void child_end_alone(int index) { child_press_key(index); }

void child_forward(int index, int signal) {
    const Child& c = children[index];
    // A reaped child's number may already be another process's.
    if (c.pid > 0 && !c.reaped) kill(c.pid, signal);
}

Event next_event(int32_t timeout_ms) {
    const uint32_t start = clock_tick_ms();
    Event event{};
    for (;;) {
        if (ended_child(&event) || ready_slot_event(&event)) return event;
        slot_count = 0;
        next_slot = 0;
        add_slot(signal_pipe[0], SIGNALS);
        if (tty_fd >= 0) add_slot(tty_fd, KEYBOARD);
        if (notice_fd >= 0) add_slot(notice_fd, NOTICES);
        const uint32_t gathering = clock_tick_ms() - output_read_ms;
        const bool read_output = gathering >= GATHER_MS;
        for (int i = 0; i < GANG_PORTS_MAX; ++i) {
            // The last words of a fwld that has ended wait for nothing.
            const Child& c = children[i];
            if (c.pid <= 0 || !(read_output || c.reaped)) continue;
            if (c.master >= 0) add_slot(c.master, 2 * i);
            if (c.stream >= 0) add_slot(c.stream, 2 * i + 1);
        }
        int wait = read_output ? -1 : static_cast<int>(GATHER_MS - gathering);
        if (timeout_ms >= 0) {
            const uint32_t spent = clock_tick_ms() - start;
            if (spent >= static_cast<uint32_t>(timeout_ms))
                return Event{EVENT_TIMEOUT, -1, nullptr, 0, {}, 0, nullptr, 0};
            const int left = timeout_ms - static_cast<int32_t>(spent);
            if (wait < 0 || left < wait) wait = left;
        }
        // EINTR: the signal's byte is in the pipe. Nothing: the deadline, or
        // the output's turn.
        if (poll(slots, static_cast<nfds_t>(slot_count), wait) <= 0) slot_count = 0;
    }
}

void wait_also(intptr_t handle) { notice_fd = static_cast<int>(handle); }

// fwld's own keyboard, taken as fwld takes it (a job in the background
// leaves it to the shell), but with Ctrl-Z a key like any other: a stopped
// fwld-gang would stall every update.
void keyboard_take(bool) {
    start_session();
    keyboard_ctrl_z_is_a_key();
    intptr_t handles[KEYBOARD_WAKE_MAX];
    if (keyboard_wake_handles(true, handles) > 0) tty_fd = static_cast<int>(handles[0]);
}

void terminal_restore() { keyboard_restore(); }

bool prepare_output() { return isatty(STDOUT_FILENO) == 1; }

int output_width() {
    struct winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

int output_height() {
    struct winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}

int run_to_end(const char* program, char** argv, std::string* said) {
    int out[2] = {-1, -1};
    if (pipe(out) != 0) return -1;
    for (int fd : out) fcntl(fd, F_SETFD, FD_CLOEXEC);
    const pid_t pid = fork();
    if (pid == 0) {
        const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(nothing, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        execv(program, argv);
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return -1;
    }
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n > 0) said->append(buffer, static_cast<size_t>(n));
        if (n < 0 && errno != EINTR) break;
    }
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

bool signal_default(int signal) {
    if (signal == 0) return false;
    std::signal(signal, SIG_DFL);
    return true;
}
