// The platforms' handlers run the restore steps through here, so that the
// steps can tell how the process ends.
#pragma once

void restore_for_ending(long status, const char* cause);
