// POSIX way out: the exit handler and one handler for the signals that end a
// run. The handler puts everything back, then lets the signal end the
// process as it would have without us, so the shell sees the real cause.
#include <csignal>
#include <cstdlib>

#include "console.h"
#include "restore.h"
#include "restore_ending.h"

namespace {

constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

const char* signal_name(int signo) {
    switch (signo) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "a signal";
    }
}

void restore_and_end(int signo) {
    restore_for_ending(128 + signo, signal_name(signo));
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
}

}  // namespace

void restore_install() {
    std::atexit(restore_all);
    struct sigaction action{};
    action.sa_handler = restore_and_end;
    sigemptyset(&action.sa_mask);
    // Further ending signals wait while the steps run, so none runs twice at once.
    for (const int signo : ENDING_SIGNALS) sigaddset(&action.sa_mask, signo);
    for (const int signo : ENDING_SIGNALS) {
        struct sigaction previous{};
        sigaction(signo, nullptr, &previous);
        // An ignored signal (nohup) stays ignored.
        if (previous.sa_handler == SIG_IGN) continue;
        sigaction(signo, &action, nullptr);
    }
}

void end_if_broken() {}

namespace {

int hold_depth = 0;
sigset_t held_from;

}  // namespace

void restore_hold_signals() {
    if (hold_depth++ > 0) return;
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signo : ENDING_SIGNALS) sigaddset(&ending, signo);
    sigprocmask(SIG_BLOCK, &ending, &held_from);
}

void restore_release_signals() {
    if (hold_depth == 0 || --hold_depth > 0) return;
    sigprocmask(SIG_SETMASK, &held_from, nullptr);
}
