// POSIX: one way to put a handler in place, for fwld's signals (host/) and
// fwld-gang's (gang/session_posix.cpp).
#pragma once
#include <csignal>

// `blocked` (nullptr: none) is held while the handler runs; `flags` are
// sigaction's (SA_RESTART, ...).
inline void signal_handler_set(int signo, void (*handler)(int), const sigset_t* blocked = nullptr, int flags = 0) {
    struct sigaction action{};
    action.sa_handler = handler;
    if (blocked != nullptr) {
        action.sa_mask = *blocked;
    } else {
        sigemptyset(&action.sa_mask);
    }
    action.sa_flags = flags;
    sigaction(signo, &action, nullptr);
}
