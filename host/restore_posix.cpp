// POSIX signals, every handler of fwld in one place. An ending signal is
// noted and a byte written to a pipe whose read end is in every wait set,
// so the run ends in normal code; a second one puts the terminal back and
// ends the process at once. Ctrl-Z hands the terminal back before the stop
// and takes it again after; SIGPIPE is ignored, so a log pipe whose reader
// was killed cannot end an update half-way through a record.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "restore.h"
#include "restore_ending.h"
#include "signal_handler_posix.h"

namespace {

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int wake_pipe[2] = {-1, -1};
volatile std::sig_atomic_t ending_signal = 0;
void (*default_action)(int) = nullptr;
int hold_depth = 0;
sigset_t held_from;
void (*give_terminal_back)() = nullptr;
void (*take_terminal_back)() = nullptr;

const char* signal_name(int signo) {
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "a signal";
    }
}

void note_ending(int signo) {
    const int saved_errno = errno;
    if (ending_signal != 0) {
        // Blocked while this handler runs, the signal raised here ends the
        // process as the handler returns.
        restore_run_urgent();
        if (default_action != nullptr) default_action(signo);
        errno = saved_errno;
        return;
    }
    ending_signal = signo;
    restore_note_ending(128 + signo, signal_name(signo));
    const char byte = 1;
    (void)!write(wake_pipe[1], &byte, 1);
    errno = saved_errno;
}

// Ctrl-Z: the terminal back as it was, then stop for real (the default
// action, through main); the return from the stop re-arms it.
void suspend(int signo) {
    const int saved_errno = errno;
    if (give_terminal_back != nullptr) give_terminal_back();
    if (default_action != nullptr) default_action(signo);
    errno = saved_errno;
}

// Back from a stop: Ctrl-Z is ours again, and the keyboard too.
void resume(int) {
    const int saved_errno = errno;
    restore_arm_suspend();
    if (take_terminal_back != nullptr) take_terminal_back();
    errno = saved_errno;
}

void ending_signals(sigset_t* set) {
    sigemptyset(set);
    for (const int signo : ENDING_SIGNALS) sigaddset(set, signo);
}

}  // namespace

void restore_install(void (*take_default_action)(int)) {
    default_action = take_default_action;
    std::atexit(restore_all);
    std::signal(SIGPIPE, SIG_IGN);
    if (pipe(wake_pipe) == 0) {
        for (const int fd : wake_pipe) fcntl(fd, F_SETFD, FD_CLOEXEC), fcntl(fd, F_SETFL, O_NONBLOCK);
    }
    // Further ending signals wait while the handler runs.
    sigset_t blocked;
    ending_signals(&blocked);
    for (const int signo : ENDING_SIGNALS) {
        struct sigaction previous{};
        sigaction(signo, nullptr, &previous);
        // An ignored signal (nohup) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        signal_handler_set(signo, note_ending, &blocked);
    }
}

void restore_hold_signals() {
    if (hold_depth++ > 0) return;
    sigset_t ending;
    ending_signals(&ending);
    sigprocmask(SIG_BLOCK, &ending, &held_from);
}

void restore_release_signals() {
    if (hold_depth == 0 || --hold_depth > 0) return;
    sigprocmask(SIG_SETMASK, &held_from, nullptr);
}

bool restore_ending_seen() { return ending_signal != 0; }
intptr_t restore_wake_handle() { return wake_pipe[0] >= 0 ? wake_pipe[0] : 0; }
int restore_ending_signal() { return ending_signal; }

void restore_on_suspend(void (*give_back)(), void (*take_back)()) {
    give_terminal_back = give_back;
    take_terminal_back = take_back;
    restore_arm_suspend();
    sigset_t none;
    sigemptyset(&none);
    signal_handler_set(SIGCONT, resume, &none);
}

void restore_arm_suspend() {
    sigset_t none;
    sigemptyset(&none);
    signal_handler_set(SIGTSTP, suspend, &none);
}

void restore_break_now() {}
