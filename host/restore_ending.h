// The platforms' handlers say here how the process ends: the ending
// signals run the restore steps through restore_for_ending, so that the
// steps can tell; the Windows break only notes it, for the run's own end.
#pragma once

void restore_note_ending(long status, const char* cause);
void restore_for_ending(long status, const char* cause);
