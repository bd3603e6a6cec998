// Line rates outside the termios B-constants. Linux reaches any rate through
// termios2, whose header cannot share a file with <termios.h>; elsewhere
// only the B-constants exist and these report "not available".
#pragma once
#include <cstdint>

// Whether baud_set_any can work on this platform at all.
bool baud_any_supported();
// Sets input and output to any rate; the rest of the line stays as it is.
// On failure errno tells why.
bool baud_set_any(int fd, uint32_t baud);
// The output rate in bits per second, exact for any rate. False when the
// platform cannot tell; the caller then decodes the B-constant.
bool baud_read_exact(int fd, uint32_t* baud);
