// The ending signals taken by one thread with sigwait: blocked in every
// thread before any exists, so none of them can be hit by one.
#include "signals.h"

#include <pthread.h>

#include <csignal>
#include <thread>

namespace {

sigset_t ending_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

}  // namespace

void hold_ending_signals() {
    const sigset_t signals = ending_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void stop_on_ending_signal(std::function<void()> stop) {
    std::thread([stop = std::move(stop)] {
        const sigset_t signals = ending_signals();
        int sig = 0;
        sigwait(&signals, &sig);
        stop();
    }).detach();
}
