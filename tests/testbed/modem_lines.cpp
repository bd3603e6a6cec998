// The environment that loads the modem-line stand-in into a tool.
#include <cstdlib>

#include "testbed.h"

namespace testbed {

namespace {

// NAME=VALUE with VALUE after what the test's own environment holds.
std::string appended(const char* name, const std::string& value, char separator) {
    const char* have = std::getenv(name);
    return std::string(name) + "=" + (have != nullptr && *have != '\0' ? have + std::string(1, separator) : "") +
           value;
}

}  // namespace

std::string modem_lines_library() { return FWLD_MODEM_LINES_LIBRARY; }

std::vector<std::string> lines_probe_command() { return {FWLD_LINES_PROBE_BINARY}; }

std::vector<std::string> ModemLines::env() const {
    return {appended("LD_PRELOAD", modem_lines_library(), ':'), "FWLD_MODEM_LINES=" + folder(),
            appended("ASAN_OPTIONS", "verify_asan_link_order=0", ':')};
}

}  // namespace testbed
