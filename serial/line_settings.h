// The line configuration of one port: the few fields fwld sets itself, plus
// the platform's own record as read from the device, which keeps everything
// else (flow-control details, special characters, DTR) exactly as it was.
#pragma once
#include <cstdint>

#include "line_codes.h"
#include "native_line.h"

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
