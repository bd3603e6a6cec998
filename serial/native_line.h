// The platform's own line record (termios, a DCB) as read at open, held as
// plain bytes so that no platform header stands in a file that sees a port.
// termios_posix.cpp and dcb_win32.cpp check that theirs fits.
#pragma once

struct NativeLine {
    alignas(8) unsigned char bytes[128];
};
