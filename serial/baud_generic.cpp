// Platforms without an arbitrary-rate interface: only the B-constants.
#include <cerrno>

#include "baud.h"

bool baud_any_supported() { return false; }

bool baud_set_any(int, uint32_t) {
    errno = EINVAL;
    return false;
}

bool baud_read_exact(int, uint32_t*) { return false; }
