// The lines between the port's diagnostic line and the fatal stop: which
// device failed and why, in words, and what exists instead; and the same
// list of devices for --list.
#include <cstdio>

#include "device_names.h"
#include "port.h"
#include "port_advice.h"
#include "system.h"

namespace {

struct Listing {
    std::FILE* out;
    const char* heading;  // before the first device; nullptr: none
    const char* indent;
    int count;
};

// One device a line: its name, then two spaces and what is known of it.
void list_one(const char* name, const char* detail, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    if (listing->count == 0 && listing->heading != nullptr) std::fputs(listing->heading, listing->out);
    std::fprintf(listing->out, "%s%s%s%s\n", listing->indent, name, detail[0] != '\0' ? "  " : "", detail);
    ++listing->count;
}

int list_devices(std::FILE* out, const char* heading, const char* indent) {
    Listing listing{out, heading, indent, 0};
    device_list_ports(list_one, &listing);
    return listing.count;
}

void explain_reason(std::FILE* out, int port, long error) {
    char device[PORT_PATH_MAX];
    port_device_path(port, device, sizeof device);
    if (device[0] == '\0') {
        std::fprintf(out, "Port %d names no device.\n", port);
        return;
    }
    char reason[160];
    system_error_text(error, reason, sizeof reason);
    const char* hint = device_error_hint(error);
    std::fprintf(out, "Port %s: %s.%s%s\n", device, reason, hint != nullptr ? " " : "", hint != nullptr ? hint : "");
}

}  // namespace

void explain_port_failure(std::FILE* out, int port, long error) {
    explain_reason(out, port, error);
    if (list_devices(out, "Serial devices on this machine:\n", "  ") == 0) {
        std::fputs("No serial devices found on this machine.\n", out);
    }
}

void print_serial_ports(std::FILE* out) {
    if (list_devices(out, nullptr, "") == 0) std::fputs("No serial ports found.\n", out);
    std::fflush(out);
}
