// The codes of a line's frame as port_configure takes them (and the line
// record spells them): parity, stop bits, the use of RTS.
#pragma once
#include <cstdint>

enum : uint8_t {
    LINE_PARITY_NONE = 0,
    LINE_PARITY_ODD = 1,
    LINE_PARITY_EVEN = 2,
    LINE_PARITY_MARK = 3,
    LINE_PARITY_SPACE = 4
};
enum : uint8_t { LINE_STOP_BITS_ONE = 0, LINE_STOP_BITS_ONE_AND_HALF = 1, LINE_STOP_BITS_TWO = 2 };
enum : uint8_t { LINE_RTS_OFF = 0 };
