// The process-wide table of numbered serial ports and the operations that
// open, configure, re-open, test and close one slot.
#include <cstdio>
#include <cstring>

#include "port_slot.h"
#include "trace.h"
#include "system.h"

namespace {

PortSlot port_table[PORT_COUNT];

bool has_slot(int port) { return port >= 0 && port < PORT_COUNT; }

// The device a slot opens: the path given for it, or the port's own device.
void slot_device_path(int port, char* out, size_t size) {
    const PortSlot& slot = port_table[port];
    if (slot.path[0] != '\0') {
        std::snprintf(out, size, "%s", slot.path);
    } else {
        device_default_path(port, out, size);
    }
}

DeviceError open_slot_device(int port) {
    char path[PORT_PATH_MAX];
    slot_device_path(port, path, sizeof path);
    return port_note_error(port, device_open(path, &port_table[port].handle));
}

// "open /dev/ttyUSB0" (error 0) or "open /dev/ttyUSB0 failed (error 2: No
// such file or directory)".
void trace_port_event(int port, const char* what, DeviceError error) {
    if (!trace_active()) return;
    char path[PORT_PATH_MAX];
    slot_device_path(port, path, sizeof path);
    char line[PORT_PATH_MAX + 160];
    if (error == 0) {
        std::snprintf(line, sizeof line, "%s %s", what, path);
    } else {
        char reason[96];
        system_error_text(error, reason, sizeof reason);
        std::snprintf(line, sizeof line, "%s %s failed (error %ld: %s)", what, path, error, reason);
    }
    trace_event(line);
}

// "configure 9600 baud 8N1: accepted; flow: crtscts off, ..." with the
// handshaking the device keeps as it had it.
void trace_configure(const PortSlot& slot, bool accepted) {
    if (!trace_active()) return;
    static const char parity_letters[] = "NOEMS";
    static const char* const stop_texts[] = {"1", "1.5", "2"};
    const LineSettings& s = slot.settings;
    char kept[160];
    device_describe_flow(slot.handle, kept, sizeof kept);
    char line[256];
    std::snprintf(line, sizeof line, "configure %lu baud %u%c%s: %s; flow: %s", static_cast<unsigned long>(s.baud),
                  static_cast<unsigned>(s.byte_size), s.parity < 5 ? parity_letters[s.parity] : '?',
                  s.stop_bits < 3 ? stop_texts[s.stop_bits] : "?", accepted ? "accepted" : "refused", kept);
    trace_event(line);
}

}  // namespace

bool port_assign_path(int port, const char* path) {
    if (!has_slot(port) || std::strlen(path) >= PORT_PATH_MAX) return false;
    std::snprintf(port_table[port].path, PORT_PATH_MAX, "%s", path);
    return true;
}

void port_device_path(int port, char* out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (has_slot(port)) slot_device_path(port, out, size);
}

const PortSlot* port_slot(int port) { return has_slot(port) ? &port_table[port] : nullptr; }

DeviceError port_note_error(int port, DeviceError error) {
    if (error != 0 && has_slot(port)) port_table[port].last_error = error;
    return error;
}

long port_last_error(int port) { return has_slot(port) ? port_table[port].last_error : PORT_NO_SLOT_ERROR; }

PortOpen port_open(int port) {
    // Negative numbers have no slot either; refused like 32 and above.
    if (!has_slot(port)) return PORT_NO_SLOT;
    PortSlot& slot = port_table[port];
    slot.known_healthy = false;
    slot.rts_driven = false;
    DeviceError error = open_slot_device(port);
    if (error != 0) {
        trace_port_event(port, "open", error);
        std::fprintf(stderr, "LastError(INVALID_HANDLE_VALUE)=%ld\n", error);
        return PORT_NOT_OPENED;
    }
    error = port_note_error(port, device_read_settings(slot.handle, &slot.settings));
    if (error != 0) {
        trace_port_event(port, "open", error);
        std::fprintf(stderr, "LastError=%ld\n", error);
        return PORT_NOT_OPENED;
    }
    trace_port_event(port, "open", 0);
    return PORT_OPENED;
}

void line_settings_overlay(LineSettings* s, uint32_t baud, int byte_size, int parity, int stop_bits) {
    s->baud = baud;
    s->byte_size = static_cast<uint8_t>(byte_size);
    s->parity = static_cast<uint8_t>(parity);
    s->stop_bits = static_cast<uint8_t>(stop_bits);
    s->check_parity = parity != 0 ? 1 : 0;
    s->raw = 1;
    s->xon_xoff_out = 0;
    s->xon_xoff_in = 0;
    s->rts_control = LINE_RTS_OFF;
}

bool port_configure(int port, uint32_t baud, int byte_size, int parity, int stop_bits) {
    if (!has_slot(port)) return false;
    PortSlot& slot = port_table[port];
    const uint8_t rts = slot.settings.rts_control;
    line_settings_overlay(&slot.settings, baud, byte_size, parity, stop_bits);
    if (slot.rts_driven) slot.settings.rts_control = rts;
    const bool accepted = port_note_error(port, device_apply_settings(slot.handle, &slot.settings)) == 0;
    trace_configure(slot, accepted);
    return accepted;
}

PortOpen port_reopen(int port) {
    if (!has_slot(port)) return PORT_NO_SLOT;
    PortSlot& slot = port_table[port];
    // Release the old handle first: the device is opened exclusively, so a
    // handle still held would refuse the new open (and leak).
    if (slot.handle != 0 && slot.handle != INVALID_DEVICE) port_note_error(port, device_close(slot.handle));
    slot.known_healthy = false;
    DeviceError error = open_slot_device(port);
    LineSettings scratch;
    if (error == 0) error = port_note_error(port, device_read_settings(slot.handle, &scratch));
    if (error != 0) {
        trace_port_event(port, "re-open", error);
        return PORT_NOT_OPENED;
    }
    port_note_error(port, device_apply_settings(slot.handle, &slot.settings));
    trace_port_event(port, "re-open", 0);
    return PORT_OPENED;
}

bool port_is_healthy(int port) {
    if (!has_slot(port)) return false;
    PortSlot& slot = port_table[port];
    slot.known_healthy = port_note_error(port, device_health(slot.handle)) == 0;
    return slot.known_healthy;
}

bool port_same_device(int port) {
    if (!has_slot(port)) return false;
    char path[PORT_PATH_MAX];
    slot_device_path(port, path, sizeof path);
    return device_is_named(port_table[port].handle, path);
}

bool port_set_line(int port, ModemLine line, bool on) {
    if (!has_slot(port)) return false;
    PortSlot& slot = port_table[port];
    const bool set = port_note_error(port, device_set_modem_line(slot.handle, line, on)) == 0;
    if (set && line == MODEM_DTR) slot.settings.dtr_control = on ? LINE_DTR_ON : LINE_DTR_OFF;
    if (set && line == MODEM_RTS) {
        slot.settings.rts_control = on ? LINE_RTS_ON : LINE_RTS_OFF;
        slot.rts_driven = true;
    }
    if (trace_active()) {
        char text[32];
        std::snprintf(text, sizeof text, "%s %s%s", line == MODEM_DTR ? "DTR" : "RTS", on ? "on" : "off",
                      set ? "" : " failed");
        trace_event(text);
    }
    return set;
}

bool port_has_modem_lines(int port) {
    return has_slot(port) && port_note_error(port, device_has_modem_lines(port_table[port].handle)) == 0;
}

bool port_known_healthy(int port) { return has_slot(port) && port_table[port].known_healthy; }

void port_note_healthy(int port) {
    if (has_slot(port)) port_table[port].known_healthy = true;
}

void port_doubt_health(int port) {
    if (has_slot(port)) port_table[port].known_healthy = false;
}

bool port_close(int port) {
    if (!has_slot(port)) return false;
    trace_port_event(port, "close", 0);
    port_table[port].known_healthy = false;
    return port_note_error(port, device_close(port_table[port].handle)) == 0;
}
