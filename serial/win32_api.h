// <windows.h> for the Win32 files of the serial link. The line record's
// codes have names of their own (LINE_*), so none of its macros is in the way.
#pragma once
#include <windows.h>
