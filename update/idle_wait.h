// The one waiting primitive of the polling loops: block until a byte is
// waiting on the port, a key is pressed (when asked), or the time is up.
#pragma once
#include <cstdint>

// How long a loop sleeps between re-opening attempts of a faulty port, and
// between looks at a transmit queue that is still draining.
constexpr uint32_t REOPEN_RETRY_MS = 50;
constexpr uint32_t DRAIN_POLL_MS = 2;

enum WatchKeys : bool { IGNORE_KEYS = false, WAKE_ON_KEY = true };

void idle_wait(int port, WatchKeys keys, uint32_t max_ms);

// True when the port answers: shown alive by the traffic since the last
// health test, or answering one now. No re-open.
bool port_answers(int port);

// True when the port answers, re-opening it first if it does not. While it
// stays faulty, pauses for the retry interval (a key ends the pause early)
// and returns false; the caller checks the keyboard and comes back.
bool ensure_port_healthy(int port);

// Waits until the transmit queue has drained (or its status is unreadable).
void wait_for_drain(int port);

// Waits for the drain, then tells whether the port still answers. A queue
// whose status cannot be read counts as drained, so a dead device would
// otherwise pass for one that took everything.
bool drained_on_healthy_port(int port);
