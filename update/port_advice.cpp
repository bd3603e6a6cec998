// The lines between the port's diagnostic line and the fatal stop: which
// device failed and why, in words, and what exists instead.
#include <cstdio>

#include "device_names.h"
#include "port.h"
#include "port_advice.h"

namespace {

struct Listing {
    std::FILE* out;
    int count;
};

void list_one(const char* name, const char* detail, void* context) {
    Listing* listing = static_cast<Listing*>(context);
    if (listing->count == 0) std::fputs("Serial devices on this machine:\n", listing->out);
    std::fprintf(listing->out, "  %s%s%s\n", name, detail[0] != '\0' ? " " : "", detail);
    ++listing->count;
}

void explain_reason(std::FILE* out, int port, long error) {
    char device[PORT_PATH_MAX];
    port_device_path(port, device, sizeof device);
    if (device[0] == '\0') {
        std::fprintf(out, "Port %d names no device.\n", port);
        return;
    }
    char reason[160];
    device_error_text(error, reason, sizeof reason);
    const char* hint = device_error_hint(error);
    std::fprintf(out, "Port %s: %s.%s%s\n", device, reason, hint != nullptr ? " " : "", hint != nullptr ? hint : "");
}

}  // namespace

void explain_port_failure(std::FILE* out, int port, long error) {
    explain_reason(out, port, error);
    Listing listing{out, 0};
    device_list_ports(list_one, &listing);
    if (listing.count == 0) std::fputs("No serial devices found on this machine.\n", out);
}
