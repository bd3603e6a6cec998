// The one waiting primitive of the polling loops: block until a byte is
// waiting on the port, a key is pressed (when asked), or the time is up.
#pragma once
#include <cstdint>

#include "outcome.h"
#include "settings.h"

// How long a loop sleeps between re-opening attempts of a faulty port, and
// between looks at a transmit queue that is still draining.
constexpr uint32_t REOPEN_RETRY_MS = 50;
constexpr uint32_t DRAIN_POLL_MS = 2;

enum WatchKeys : bool { IGNORE_KEYS = false, WAKE_ON_KEY = true };

// NO_PORT: the keyboard (when asked) and the time alone.
constexpr int NO_PORT = -1;
void idle_wait(int port, WatchKeys keys, uint32_t max_ms);

// True when the port is healthy as far as can be told cheaply: shown so by
// the traffic since the last health test, or passing one now. No re-open.
bool port_seems_healthy(int port);

// True when the port is healthy, re-opening it first if it is not. While it
// stays faulty, pauses for the retry interval (a key ends the pause early)
// and returns false; the caller checks the keyboard and comes back. Never
// re-opens onto another board once board_removed says so.
bool ensure_port_healthy(int port);

// RM: from the target's answer on, a port that fails is looked at before it
// is opened again, and a device that is not the one fwld opened (gone, or
// the next board's) ends the run. Called at the start (not answered yet) and
// at the answer.
void watch_for_removal(const RunSettings& settings, bool target_answered);
// The watched port has failed and its device is not the one opened: once
// true, true for the rest of the run.
bool board_removed(int port);
// The same for the watched port, the other way round: true while no port is
// watched or its board is still in (for a wait's look at the line).
bool board_still_in();
// The stop of a run whose board was removed, naming the stage and how far
// the transfer had come.
RunOutcome board_removed_stop();

// From now on a write the line does not take watches the keyboard: a key
// gives it up (the write fails), and after 5 s the operator is told, once,
// what may hold the line.
void watch_line_stalls();

enum DrainResult { DRAINED, DRAIN_GIVEN_UP, DRAIN_LINE_LOST };

// Waits until the transmit queue has drained (or its status is unreadable).
// A queue that stops moving is reported as a stalled write is, and given up
// (DRAIN_GIVEN_UP) when a key is pending; one that moves is waited for,
// key or not.
DrainResult wait_for_drain(int port);

// Waits for the drain, then tells whether the port still answers
// (DRAIN_LINE_LOST when not). A queue whose status cannot be read counts as
// drained, so a dead device would otherwise pass for one that took
// everything.
DrainResult drain_on_healthy_port(int port);

