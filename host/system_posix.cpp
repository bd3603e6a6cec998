// POSIX: strerror's words, gethostname's name.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "system.h"

namespace {

constexpr size_t HOST_NAME_BYTES = 256;

}  // namespace

void system_error_text(long error, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    if (error <= 0 || error > INT_MAX) {
        std::snprintf(out, size, "unknown error %ld", error);
        return;
    }
    std::snprintf(out, size, "%s", std::strerror(static_cast<int>(error)));
}

void host_name(char* out, size_t size) {
    char name[HOST_NAME_BYTES + 1] = "";
    // POSIX leaves a name that fills the buffer unterminated.
    const bool known = gethostname(name, HOST_NAME_BYTES) == 0 && name[0] != '\0';
    if (size > 0) std::snprintf(out, size, "%s", known ? name : "unknown");
}
