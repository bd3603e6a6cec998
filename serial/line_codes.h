// The codes of a line's frame as port_configure takes them (and the line
// record spells them): parity, stop bits, the use of RTS.
#pragma once
#include <cstdint>

enum : uint8_t { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2, PARITY_MARK = 3, PARITY_SPACE = 4 };
enum : uint8_t { STOPBITS_ONE = 0, STOPBITS_ONE_AND_HALF = 1, STOPBITS_TWO = 2 };
enum : uint8_t { RTS_CONTROL_DISABLE = 0 };
