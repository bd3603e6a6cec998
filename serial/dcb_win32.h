// The line record and the Win32 device-control block: which fields fwld
// owns, and whether the device took them.
#pragma once
#include "line_settings.h"
#include <windows.h>

// The whole block as the device reported it, with the owned fields lifted out.
void settings_from_dcb(const DCB& dcb, LineSettings* settings);
// The block as read at open with the owned fields of the record on top; every
// other field (DTR, CTS/DSR handshaking, limits, characters) stays as read.
void dcb_from_settings(const LineSettings& settings, DCB* dcb);
// The device runs with the frame that was asked for. RTS is left out: many
// drivers report the modem line's state rather than its control mode.
bool dcb_took(const DCB& wanted, const DCB& actual);
// The handshaking fields the device keeps as it had them, for the trace.
void describe_dcb_flow(const DCB& dcb, char* out, size_t size);
// What may hold a line that takes no bytes: the output flow control that is
// on with the state of its modem line (modem: GetCommModemStatus bits, or
// nullptr when unknown), or the bytes that wait in the transmit queue.
void describe_dcb_hold(const DCB& dcb, const DWORD* modem, DWORD queued, char* out, size_t size);
