// Fuzz target: the command line and run settings. The input is split at NUL
// bytes into the arguments after the program name. Checked: the parse
// either refuses with a message or yields settings in range; the port they
// name opens exactly when it has a slot; the reset sentence for the target
// ID fits and carries its checksum.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_memory.h"
#include "handshake.h"
#include "settings.h"

namespace {

constexpr int ARGUMENT_MAX = 24;
constexpr size_t TEXT_MAX = 4096;

char text[TEXT_MAX + 1];
char* arguments[ARGUMENT_MAX + 1];

// Straight to the descriptor: stderr may be the run's captured console.
[[noreturn]] void finding(const char* what) {
    dprintf(2, "\nFINDING: %s\n", what);
    std::abort();
}

int split_arguments(const uint8_t* data, size_t size) {
    std::memcpy(text, data, size);
    text[size] = '\0';
    int count = 0;
    arguments[count++] = const_cast<char*>("fwld");
    size_t start = 0;
    for (size_t i = 0; i <= size && count < ARGUMENT_MAX; ++i) {
        if (i == size || text[i] == '\0') {
            if (i == size && start == size && size != 0) break;  // no empty word after a final NUL
            arguments[count++] = text + start;
            start = i + 1;
        }
    }
    arguments[count] = nullptr;
    return size == 0 ? 1 : count;
}

bool terminated_within(const char* field, size_t size) { return std::memchr(field, '\0', size) != nullptr; }

bool points_into_arguments(const char* p, int argc) {
    for (int i = 1; i < argc; ++i) {
        if (p >= arguments[i] && p <= arguments[i] + std::strlen(arguments[i])) return true;
    }
    return false;
}

void check_settings(const RunSettings& s, int argc) {
    if (s.loader_path != arguments[1] || s.program_path != arguments[2]) finding("file arguments out of place");
    if (s.write_wait < 0 || s.password_interval < 0 || s.new_wait < 0 || s.baud_rate <= 0 ||
        s.loader_pacing_wait < 0 || s.loader_pacing_group < 0) {
        finding("accepted settings out of range");
    }
    if (!terminated_within(s.password, sizeof s.password)) finding("password not terminated");
    if (std::strncmp(s.password, "Wake up now", 11) != 0) finding("password lost its text");
    if (!terminated_within(s.port_path, sizeof s.port_path)) finding("port path not terminated");
    if (s.erase_list == nullptr || (s.erase_list[0] != '\0' && !points_into_arguments(s.erase_list, argc))) {
        finding("erase list points outside the arguments");
    }
}

void check_port(const RunSettings& s) {
    memory_device_reset();
    if (s.port_path[0] != '\0' && !port_assign_path(s.port_number, s.port_path)) {
        if (s.port_number >= 0 && s.port_number < PORT_COUNT) finding("path refused for a port with a slot");
        return;
    }
    std::FILE* saved = stderr;
    stderr = std::fopen("/dev/null", "w");
    const PortOpen opened = port_open(s.port_number);
    std::fclose(stderr);
    stderr = saved;
    const bool has_slot = s.port_number >= 0 && s.port_number < PORT_COUNT;
    if (!has_slot) {
        if (opened != PORT_NO_SLOT) finding("port without a slot not refused as such");
        return;
    }
    if (opened != PORT_OPENED) finding("port with a slot does not open");
    if (!port_configure(s.port_number, static_cast<uint32_t>(s.baud_rate), 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE)) {
        finding("accepted baud rate refused by the device");
    }
    if (memory_device_line()->baud != static_cast<uint32_t>(s.baud_rate)) finding("baud rate not applied");
    port_close(s.port_number);
    if (memory_device_counts().misuses != 0) finding("handle misused");
}

void check_reset_sentence(int32_t target_id) {
    char sentence[32];
    build_reset_sentence(target_id, sentence, sizeof sentence);
    const size_t length = std::strlen(sentence);
    if (length < 6 || std::strcmp(sentence + length - 2, "\r\n") != 0) finding("reset sentence cut short");
    unsigned checksum = 0;
    const char* star = std::strchr(sentence, '*');
    if (star == nullptr) finding("reset sentence without checksum");
    for (const char* p = sentence + 1; p < star; ++p) checksum ^= static_cast<unsigned char>(*p);
    unsigned stated = 0;
    if (std::sscanf(star + 1, "%2X", &stated) != 1 || stated != checksum) finding("reset sentence checksum wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > TEXT_MAX) return -1;
    const int argc = split_arguments(data, size);
    RunSettings s{};
    const char* refusal = parse_command_line(argc, arguments, &s);
    if (argc < 3) {
        if (refusal == nullptr || std::strcmp(refusal, ".The number of input file is not sufficient.") != 0) {
            finding("too few files not refused");
        }
        return 0;
    }
    if (refusal != nullptr) {
        if (refusal[0] == '\0') finding("empty refusal");
        return 0;
    }
    check_settings(s, argc);
    check_port(s);
    check_reset_sentence(s.target_id);
    return 0;
}
