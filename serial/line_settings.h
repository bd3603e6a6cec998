// The line configuration of one port: the few fields fwld sets itself, plus
// the platform's own record as read from the device, which keeps everything
// else (flow-control details, special characters, and DTR unless the run
// drives it) exactly as it was.
#pragma once
#include <cstdint>

#include "line_codes.h"
#include "native_line.h"

struct LineSettings {
    uint32_t baud;
    uint8_t byte_size;     // data bits of a character
    uint8_t parity;        // LINE_PARITY_*
    uint8_t stop_bits;     // LINE_STOP_BITS_*
    uint8_t check_parity;  // check parity of received characters
    uint8_t raw;           // raw bytes, no end-of-file character
    uint8_t xon_xoff_out;  // XON/XOFF on transmit
    uint8_t xon_xoff_in;   // XON/XOFF on receive
    uint8_t rts_control;   // RTS use; LINE_RTS_OFF holds RTS off
    uint8_t dtr_control;   // DTR use; as the device had it unless the run set DTR
    NativeLine native;     // the rest, exactly as the device reported it
};
