// The port table's slot, private to serial/: the update run reaches a port
// only through the functions of port.h.
#pragma once
#include <cstdint>

#include "device.h"
#include "port.h"

struct PortSlot {
    DeviceHandle handle;  // 0: never opened; INVALID_DEVICE: last open failed
    LineSettings settings;
    char path[PORT_PATH_MAX];  // device to open; "" means the port's default
    bool known_healthy;        // traffic has shown the device healthy; see port_known_healthy
    bool rts_driven;           // the run set RTS itself: a configure keeps it
    DeviceError last_error;    // of the slot's last failed device call; see port_last_error
};

// Read access for the byte transfer and for tests.
const PortSlot* port_slot(int port);
// Keeps the error of a failed device call in the port's slot, for
// port_last_error, and gives it back; a success leaves the slot's as it was.
DeviceError port_note_error(int port, DeviceError error);

// The fields port_configure owns, set in a line record: the rate, the frame
// (byte size, parity and stop bits take their low 8 bits; parity checking is
// on for any non-zero parity), raw bytes, no XON/XOFF, RTS held off.
void line_settings_overlay(LineSettings* settings, uint32_t baud, int byte_size, int parity, int stop_bits);
