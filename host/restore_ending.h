// The platforms' handlers say here how the process ends, and reach the
// steps a second signal runs at once.
#pragma once

void restore_note_ending(long status, const char* cause);
void restore_run_urgent();
