// POSIX signals, every handler of the process in one place: the ending
// signals put everything back, then let the signal end the process as it
// would have without us, so the shell sees the real cause; Ctrl-Z hands the
// terminal back before the stop and takes it again after; SIGPIPE is
// ignored, so a log pipe whose reader was killed cannot end an update
// half-way through a record.
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "restore.h"
#include "restore_ending.h"

namespace {

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

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

void on_signal(int signo, void (*handler)(int), const sigset_t* blocked) {
    struct sigaction action{};
    action.sa_handler = handler;
    action.sa_mask = *blocked;
    sigaction(signo, &action, nullptr);
}

void restore_and_end(int signo) {
    restore_for_ending(128 + signo, signal_name(signo));
    sigset_t none;
    sigemptyset(&none);
    on_signal(signo, SIG_DFL, &none);
    raise(signo);
}

// Ctrl-Z: the terminal back as it was, then stop for real.
void suspend(int signo) {
    const int saved_errno = errno;
    if (give_terminal_back != nullptr) give_terminal_back();
    std::signal(signo, SIG_DFL);
    raise(signo);
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

void restore_install() {
    std::atexit(restore_all);
    std::signal(SIGPIPE, SIG_IGN);
    // Further ending signals wait while the steps run, so none runs twice at once.
    sigset_t blocked;
    ending_signals(&blocked);
    for (const int signo : ENDING_SIGNALS) {
        struct sigaction previous{};
        sigaction(signo, nullptr, &previous);
        // An ignored signal (nohup) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        on_signal(signo, restore_and_end, &blocked);
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

void restore_on_suspend(void (*give_back)(), void (*take_back)()) {
    give_terminal_back = give_back;
    take_terminal_back = take_back;
    restore_arm_suspend();
    sigset_t none;
    sigemptyset(&none);
    on_signal(SIGCONT, resume, &none);
}

void restore_arm_suspend() {
    sigset_t none;
    sigemptyset(&none);
    on_signal(SIGTSTP, suspend, &none);
}

bool restore_break_seen() { return false; }
void restore_break_now() {}
intptr_t restore_break_handle() { return 0; }
