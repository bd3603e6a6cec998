// Selects the platform's own line record. The only platform switch of the
// serial code; each backend's record sits in its own header.
#pragma once
#if defined(_WIN32)
#include "native_line_win32.h"
#else
#include "native_line_posix.h"
#endif
