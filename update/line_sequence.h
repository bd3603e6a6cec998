// Option RS: the adapter's DTR and RTS lines driven by the run itself, so
// that a board wired to them is reset, powered or put into its loader
// without a hand: the entry sequence before the reset sentence, the exit
// sequence after a finished update.
#pragma once
#include "outcome.h"
#include "settings.h"

// After "TARGET POWER ON.": the entry steps, in order and on time. A key
// during a wait abandons the run as a key at power-on does; a port whose
// lines cannot be set stops it before any byte is sent.
RunOutcome run_entry_lines(const RunSettings& settings);
// After "Finish version up." on a drained line, before the port closes. A
// key ends it early (the run stays finished); a line that cannot be set is
// told of on the console.
void run_exit_lines(const RunSettings& settings);
