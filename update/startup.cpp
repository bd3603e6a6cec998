// Start of a run: input files, their pre-flight check, the port and the
// settings echo.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "input_file.h"
#include "low_latency.h"
#include "port_advice.h"
#include "program_reader.h"
#include "restore.h"
#include "result_file.h"
#include "run_record.h"
#include "stages.h"
#include "trace.h"
#include "system.h"

namespace {

// File lengths are progress denominators held in 32 bits.
bool file_length(int fd, int32_t* length) {
    int64_t bytes = 0;
    if (!input_file_length(fd, &bytes) || bytes > INT32_MAX) return false;
    *length = static_cast<int32_t>(bytes);
    return true;
}

// The loader's SHA-256 for the result log, read before the run; the stage
// reads the file again from its start. "" when it cannot be read here (the
// stage then says so).
void hash_loader(int fd, char hex[SHA256_HEX_SIZE]) {
    Sha256 sha;
    sha256_begin(&sha);
    unsigned char block[4096];
    long got = 0;
    while ((got = input_file_read(fd, block, sizeof block)) > 0) sha256_update(&sha, block, static_cast<size_t>(got));
    if (!sha256_finish(&sha, hex) || got < 0) hex[0] = '\0';
    input_file_rewind(fd);
}

// The stop for an input file that does not open: the fixed line first, then
// the path and the system's reason.
RunOutcome not_opened(const char* first_line, const char* path, const char* reason) {
    static char message[1024];
    std::snprintf(message, sizeof message, "%s\n\"%s\": %s.", first_line, path, reason);
    return run_stopped(STOP_BAD_FILE, message, false);
}

RunOutcome too_large(const char* which, const char* path) {
    static char message[1024];
    std::snprintf(message, sizeof message, "%s \"%s\" is too large.", which, path);
    return run_stopped(STOP_BAD_FILE, message, false);
}

RunOutcome open_input_files(const RunSettings& s, RunFiles* files) {
    char reason[256];
    files->loader_fd = input_file_open(s.loader_path, reason, sizeof reason);
    if (files->loader_fd < 0) return not_opened("Loader file can not open.", s.loader_path, reason);
    const int program_fd = input_file_open(s.program_path, reason, sizeof reason);
    if (program_fd < 0) return not_opened("Hex file can not open.", s.program_path, reason);
    files->program = input_file_stream(program_fd);
    if (files->program == nullptr) {
        const int error = errno;
        input_file_close(program_fd);
        return not_opened("Hex file can not open.", s.program_path, std::strerror(error));
    }
    if (!file_length(files->loader_fd, &files->loader_size)) return too_large("Loader file", s.loader_path);
    char loader_sha256[SHA256_HEX_SIZE];
    hash_loader(files->loader_fd, loader_sha256);
    record_loader(files->loader_size, loader_sha256);
    if (!file_length(program_fd, &files->program_size)) return too_large("Hex file", s.program_path);
    return run_goes_on();
}

// A trace that cannot be written is no reason to leave the target half done.
void start_trace(const RunSettings& s) {
    if (s.trace_path == nullptr) return;
    restore_register(trace_stop);
    if (trace_start(s.trace_path, clock_tick_ms)) return;
    char reason[160];
    system_error_text(result_file_last_error(), reason, sizeof reason);
    std::fprintf(stderr, "Warning: trace file \"%s\" can not be opened (%s); the update goes on without a trace.\n",
                 s.trace_path, reason);
}

const char port_not_opened[] = "Can not open com port\n";

RunOutcome open_port(const RunSettings& s) {
    if (s.port_path[0] != '\0' && !port_assign_path(s.port_number, s.port_path)) {
        return run_stopped(STOP_PORT_NOT_OPENED, port_not_opened, false);
    }
    restore_register(low_latency_give_back_all);
    char device[PORT_PATH_MAX];
    port_device_path(s.port_number, device, sizeof device);
    record_device(device);
    const PortOpen result = port_open(s.port_number);
    // A number without a slot gets no diagnostic line, so no explanation either.
    if (result == PORT_NOT_OPENED) explain_port_failure(stderr, s.port_number, port_last_error(s.port_number));
    if (result != PORT_OPENED) return run_stopped(STOP_PORT_NOT_OPENED, port_not_opened, false);
    const RunOutcome configured = configure_speed(s, s.baud_rate, false);
    if (goes_on(configured)) watch_line_stalls();
    return configured;
}

void echo_settings(const RunSettings& s) {
    std::fprintf(stderr, "Erase Wait time:%ldsec\n", static_cast<long>(s.erase_wait));
    std::fprintf(stderr, "Write Wait time:%ldmsec\n", static_cast<long>(s.write_wait));
    std::fprintf(stderr, "Password output interval:%ldmsec\n", static_cast<long>(s.password_interval));
    if (s.port_path[0] != '\0') {
        std::fprintf(stderr, "Port no. = %s\n", s.port_path);
    } else {
        std::fprintf(stderr, "Port no. = %d\n", static_cast<int>(s.port_number));
    }
    std::fprintf(stderr, "Baudrate:%dbps\n", static_cast<int>(s.baud_rate));
    std::fprintf(stderr, "New wait time:%ldmsec\n", static_cast<long>(s.new_wait));
    std::fprintf(stderr, " - ROM erase sectors:%s\n", s.erase_list);
    std::fprintf(stderr, " - Loader sending wait time:%ldmsec/%ldrecords\n", static_cast<long>(s.loader_pacing_wait),
                 static_cast<long>(s.loader_pacing_group));
}

}  // namespace

RunOutcome check_inputs(const RunSettings& s, RunFiles* files) {
    RunOutcome outcome = open_input_files(s, files);
    if (!goes_on(outcome)) return outcome;
    // A record file that cannot be right is refused before the target is
    // touched: all but a broken last record would leave a half-written
    // device, and a file without its E record one that never learns the
    // image ended.
    static char refusal[1024];
    const bool framed =
        check_program_file(files->program, s.program_path, &files->program_checked, refusal, sizeof refusal);
    const ProgramFingerprint& checked = files->program_checked;
    record_program(checked.size, checked.sha256, framed ? checked.records : -1);
    if (!framed) return run_stopped(STOP_BAD_FILE, refusal, false);
    return run_goes_on();
}

int check_arguments(int argc, char** argv) {
    RunSettings s;
    int notes = 0;
    if (!read_command_line(argc, argv, &s, &notes)) return 1;
    RunFiles files{};
    const RunOutcome checked = check_inputs(s, &files);
    if (!goes_on(checked)) {
        std::fprintf(stderr, "\n%s\n", checked.message);
        return 1;
    }
    return notes == 0 ? 0 : 1;
}

RunOutcome start_run(const RunSettings& s, RunFiles* files) {
    watch_for_removal(s, false);
    // A production line must not update a board without its record.
    static char refusal[1024];
    if (!record_start(s, refusal, sizeof refusal)) return run_stopped(STOP_BAD_FILE, refusal, false);
    RunOutcome outcome = check_inputs(s, files);
    if (!goes_on(outcome)) return outcome;
    start_trace(s);
    outcome = open_port(s);
    if (!goes_on(outcome)) return outcome;
    echo_settings(s);
    std::fputs("TARGET POWER ON.\n", stderr);
    note_said("TARGET POWER ON.");
    note_stage(STAGE_POWER_ON);
    return run_goes_on();
}

RunOutcome configure_speed(const RunSettings& s, int32_t baud, bool target_switched) {
    if (port_configure(s.port_number, static_cast<uint32_t>(baud), 8, LINE_PARITY_NONE, LINE_STOP_BITS_ONE))
        return run_goes_on();
    // A device that has gone away refuses too; the re-open brings the speed
    // back, as the slot keeps it.
    const long error = port_last_error(s.port_number);
    if (!port_is_healthy(s.port_number)) return run_goes_on();
    char reason[160];
    system_error_text(error, reason, sizeof reason);
    static char message[512];
    if (target_switched) {
        std::snprintf(message, sizeof message,
                      "The port refused %ld baud (%s), the speed the target has switched to: nothing after this "
                      "can arrive intact.\nSwitch the target off and on again, then run fwld again.\a",
                      static_cast<long>(baud), reason);
    } else {
        std::snprintf(message, sizeof message, "The port refused %ld baud (%s): give p5 a rate the port can run.",
                      static_cast<long>(baud), reason);
    }
    return run_stopped(STOP_LINE_FAILED, message, true);
}
