// The line configuration of one port: the few fields fwld sets itself, plus
// the platform's own record as read from the device, which keeps everything
// else (flow-control details, special characters, DTR) exactly as it was.
#pragma once
#include <cstdint>

#include "native_line.h"

// Parity codes and stop-bit codes as the line record spells them.
enum : uint8_t { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };
enum : uint8_t { STOPBITS_ONE = 0, STOPBITS_ONE_AND_HALF = 1, STOPBITS_TWO = 2 };
enum : uint8_t { RTS_CONTROL_DISABLE = 0 };

struct LineSettings {
    uint32_t BaudRate;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    uint8_t fParity;      // check parity of received characters
    uint8_t fBinary;      // raw bytes, no end-of-file character
    uint8_t fOutX;        // XON/XOFF on transmit
    uint8_t fInX;         // XON/XOFF on receive
    uint8_t fRtsControl;  // RTS use; 0 holds RTS off
    NativeLine native;    // the rest, exactly as the device reported it
};
