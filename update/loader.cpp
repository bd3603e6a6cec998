// Loader stage: the loader file in 80-byte records, optionally paced, then
// the end marker "Finish Boot File" padded with zero bytes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "console.h"
#include "idle_wait.h"
#include "input_file.h"
#include "restore.h"
#include "run_record.h"
#include "stages.h"

namespace {

constexpr int LOADER_RECORD_SIZE = 80;
const char end_marker[] = "Finish Boot File";
constexpr int END_MARKER_FILL = LOADER_RECORD_SIZE - (sizeof end_marker - 1);

// False at the first write the device refuses.
bool send_end_marker(int port) {
    if (!port_write_string(port, end_marker)) return false;
    for (int i = 0; i < END_MARKER_FILL; ++i) {
        if (!port_write_byte(port, 0)) return false;
    }
    return true;
}

RunOutcome loader_unreadable(const char* path, int error) {
    static char message[1024];
    std::snprintf(message, sizeof message, "Loader file can not be read.\n\"%s\": %s.", path, std::strerror(error));
    return run_stopped(STOP_BAD_FILE, message, true);
}

}  // namespace

RunOutcome send_loader(const RunSettings& s, const RunFiles& files) {
    const int port = s.port_number;
    const uint32_t group = static_cast<uint32_t>(s.loader_pacing_group);
    uint32_t records_in_group = 0;
    int32_t bytes_read = 0;
    for (;;) {
        // A key waits for the program stage; the break (Windows) does not.
        if (restore_ending_seen()) return run_ended(RUN_BROKEN);
        unsigned char record[LOADER_RECORD_SIZE];
        const long got = input_file_read(files.loader_fd, record, sizeof record);
        // A loader cut short by a read error must not reach the target as if
        // it were whole.
        if (got < 0) return loader_unreadable(s.loader_path, errno);
        if (got == 0) break;
        bytes_read += static_cast<int32_t>(got);
        std::memset(record + got, 0, sizeof record - static_cast<size_t>(got));
        // No resend exists for the loader: one lost record spoils it all.
        if (!port_write(port, record, sizeof record)) return loader_write_failed(port);
        note_loader_record_sent();
        if (group != 0 && ++records_in_group >= group) {
            records_in_group = 0;
            wait_ms(static_cast<uint32_t>(s.loader_pacing_wait));
        }
        show_progress(files.loader_size, bytes_read);
    }
    std::fputs("                    \r", stderr);
    progress_line_broken();
    if (!send_end_marker(port)) return loader_write_failed(port);
    const DrainResult drained = drain_on_healthy_port(port);
    if (drained == DRAIN_GIVEN_UP) return run_ended(RUN_INTERRUPTED);
    if (drained == DRAIN_LINE_LOST) return loader_lost(port);
    return run_goes_on();
}

RunOutcome loader_write_failed(int port) {
    // A key gives up a write that the line does not take.
    return key_waiting() ? run_ended(RUN_INTERRUPTED) : loader_lost(port);
}

RunOutcome loader_lost(int port) {
    if (board_removed(port)) return board_removed_stop();
    return run_stopped(STOP_LINE_FAILED,
                       "The loader did not reach the target: the line failed while it was sent.\n"
                       "Switch the target off and on again, then run fwld again.\a",
                       true);
}
