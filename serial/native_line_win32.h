#pragma once
#include <cstdint>

// The device-control block as read at open, held as plain bytes so that
// <windows.h> stays out of every file that sees a port. dcb_win32.cpp
// checks that the size and alignment match DCB.
struct NativeLine {
    alignas(4) unsigned char dcb[28];
};
