// <windows.h> for the Win32 files of the serial link. winbase.h defines
// PARITY_NONE and friends as property flags and RTS_CONTROL_DISABLE as a
// macro; the line record's own names mean the codes, so the macros go.
#pragma once
#include <windows.h>

#undef PARITY_NONE
#undef PARITY_ODD
#undef PARITY_EVEN
#undef PARITY_MARK
#undef PARITY_SPACE
#undef RTS_CONTROL_DISABLE
