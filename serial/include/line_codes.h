// The codes of a line's frame as port_configure takes them (and the line
// record spells them): parity, stop bits, the use of RTS and DTR.
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
// RTS and DTR held off or on (the values a Win32 DCB gives them); DTR is
// otherwise as the device has it, which POSIX spells LINE_DTR_AS_DEVICE.
enum : uint8_t { LINE_RTS_OFF = 0, LINE_RTS_ON = 1 };
enum : uint8_t { LINE_DTR_OFF = 0, LINE_DTR_ON = 1, LINE_DTR_AS_DEVICE = 0xFF };
// The modem lines a run may drive itself (RS).
enum ModemLine : uint8_t { MODEM_DTR, MODEM_RTS };
