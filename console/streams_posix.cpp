// Console streams on POSIX: already byte-exact, nothing to prepare.
#include "console.h"

void console_prepare_streams() {}
