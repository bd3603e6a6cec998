// Program stage: one record after each 'H' from the target, while obeying
// its other commands (resend, speed, message, erase list, pause, flash type,
// errors). Ends when the file is exhausted or a key is pressed.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "input_file.h"
#include "program_reader.h"
#include "run_record.h"
#include "silence.h"
#include "stages.h"

namespace {

constexpr int LINE_BUFFER_SIZE = 128;
constexpr int LINE_TEXT_MAX = LINE_BUFFER_SIZE - 1;
// The command loop wakes at least this often, so a port that fails without
// a hang-up signal is still noticed by the health test.
constexpr uint32_t COMMAND_IDLE_MS = 500;
// Without TO, a target silent this long is told of once: the operator may
// be waiting on a board that has stopped.
constexpr uint32_t SILENCE_NOTICE_MS = 10000;

struct Transfer {
    const RunSettings* settings;
    const ProgramFingerprint* checked;
    ProgramStream program;
    RecordSlot slots[2];
    int next;              // slot holding the record to send on 'H'
    bool sent_any;         // the other slot holds a record to resend
    bool sent_whole;       // and its last write went out whole
    bool first_ready;      // the erase countdown is still to come
    int32_t bytes_sent;
    int32_t records_sent;
    SilenceWatch silence;  // since the target last sent a byte, while fwld waits for it
    bool silence_told;     // the operator has heard of a silent target
    RunOutcome stop;       // why the run stops, once a command or the file stops it
};

// Every way the line can fail the program ends here: a record that did not
// get out whole and was not asked for again, or a dead line at the end.
const char line_lost_message[] =
    "The line failed while the program was sent: the target may hold an incomplete image.\n"
    "Switch the target off and on again, then run fwld again.\a";
const char file_changed_message[] =
    "Hex file changed while it was sent: the target may hold a mixed image.\n"
    "Run fwld again once the file is complete.\a";

// The line failed the transfer; with RM, the board may have gone with it.
RunOutcome line_lost(int port) {
    if (board_removed(port)) return board_removed_stop();
    return run_stopped(STOP_LINE_FAILED, line_lost_message, true);
}

enum CommandOutcome { KEEP_WAITING, TARGET_READY, RUN_STOPS };

int port_of(const Transfer& t) { return t.settings->port_number; }

// What ends the wait for the rest of a line from the target.
constexpr int LINE_GIVEN_UP = -1;   // a key, or the line lost
constexpr int LINE_SILENT = -2;     // nothing came for the time TO allows

// Next received byte, or LINE_GIVEN_UP when a key is pressed first or the
// line is lost: the rest of a line cut by an unplug never comes, and the
// command loop must get on with re-opening the port.
int next_byte_or_key(Transfer* t) {
    const int port = port_of(*t);
    for (;;) {
        if (port_input_count(port) != 0) {
            silence_heard(&t->silence);
            return static_cast<unsigned char>(port_read_byte(port));
        }
        if (key_waiting() || !port_seems_healthy(port)) return LINE_GIVEN_UP;
        if (silence_over_limit(t->silence)) return LINE_SILENT;
        idle_wait(port, WAKE_ON_KEY, silence_bound(t->silence, COMMAND_IDLE_MS));
    }
}

// The stop of a program stage whose target has stopped talking.
RunOutcome program_target_silent(const Transfer& t) {
    static char awaited[96];
    if (t.records_sent == 0) {
        std::snprintf(awaited, sizeof awaited, "its first command");
    } else {
        std::snprintf(awaited, sizeof awaited, "its next command after record %ld of %ld",
                      static_cast<long>(t.records_sent), static_cast<long>(t.checked->records));
    }
    return target_silent(t.silence, "Program stage", awaited);
}

// The line after 'S': stored with its line feed, at most 127 bytes.
// False when it is given up; t->stop is set when silence ended it.
bool read_speed_line(Transfer* t, char* line) {
    int stored = 0;
    while (stored < LINE_TEXT_MAX) {
        const int byte = next_byte_or_key(t);
        if (byte == LINE_SILENT) t->stop = program_target_silent(*t);
        if (byte < 0) return false;
        line[stored++] = static_cast<char>(byte);
        if (byte == '\n') break;
    }
    line[stored] = '\0';
    cut_at_newline(line);
    return true;
}

// The line after 'M': the line feed ends it unstored; a byte beyond 127
// stored ones is dropped and ends it.
bool read_message_line(Transfer* t, char* line) {
    int stored = 0;
    for (;;) {
        const int byte = next_byte_or_key(t);
        if (byte == LINE_SILENT) t->stop = program_target_silent(*t);
        if (byte < 0) return false;
        if (byte == '\n' || stored >= LINE_TEXT_MAX) break;
        line[stored++] = static_cast<char>(byte);
    }
    line[stored] = '\0';
    return true;
}

// A line given up for the target's silence stops the run; one given up for
// a key or a lost line leaves that to the command loop.
CommandOutcome line_given_up(const Transfer& t) { return goes_on(t.stop) ? KEEP_WAITING : RUN_STOPS; }

CommandOutcome change_speed(Transfer* t) {
    char line[LINE_BUFFER_SIZE];
    if (!read_speed_line(t, line)) return line_given_up(*t);
    progress_line_broken();
    int32_t baud = 0;
    if (scan_decimal(line, &baud) == nullptr || baud <= 0) {
        char shown[LINE_BUFFER_SIZE * 4];
        escape_for_console(line, shown, sizeof shown);
        std::fprintf(stderr, "Speed change ignored, no usable baud rate in \"%s\"\n", shown);
        return KEEP_WAITING;
    }
    const uint32_t before = clock_tick_ms();
    t->stop = configure_speed(*t->settings, baud, true);
    if (!goes_on(t->stop)) return RUN_STOPS;
    const uint32_t took = clock_tick_ms() - before;
    note_speed(baud);
    std::fprintf(stderr, "bps=%ld\n", static_cast<long>(baud));
    std::fprintf(stderr, "setting time(bps,..)=%ldmsec\n", static_cast<long>(took));
    return KEEP_WAITING;
}

CommandOutcome show_message(Transfer* t) {
    char line[LINE_BUFFER_SIZE];
    if (!read_message_line(t, line)) return line_given_up(*t);
    char shown[LINE_BUFFER_SIZE * 4];
    escape_for_console(line, shown, sizeof shown);
    progress_line_broken();
    std::fprintf(stderr, ">>%s\n", shown);
    note_target_message(line);
    return KEEP_WAITING;
}

CommandOutcome stop_run(Transfer* t, StopKind kind, const char* message, bool close_port) {
    t->stop = run_stopped(kind, message, close_port);
    return RUN_STOPS;
}

// The target's own error stops the run, detail byte or not; the result
// log keeps the detail beside the console's words.
CommandOutcome report_write_error(Transfer* t) {
    const int detail = next_byte_or_key(t);
    static char recorded[32];
    std::snprintf(recorded, sizeof recorded, "Write Error");
    if (detail >= 0) {
        char shown[5];
        escape_byte(static_cast<unsigned char>(detail), shown);
        std::fprintf(stderr, "N-%s\n", shown);
        std::snprintf(recorded, sizeof recorded, "Write Error (N-%s)", shown);
    }
    t->stop = run_stopped(STOP_TARGET_ERROR, "Write Error\a", true, recorded);
    return RUN_STOPS;
}

void send_erase_list(const Transfer& t) {
    const int port = port_of(t);
    const char* list = t.settings->erase_list;
    port_write(port, "Z", 1);
    if (list[0] != '\0') port_write_string(port, list);
    port_write(port, "\n", 1);
}

void resend_previous(Transfer* t) {
    if (!t->sent_any) return;  // nothing has gone out yet
    const RecordSlot& previous = t->slots[1 - t->next];
    t->sent_whole = port_write(port_of(*t), previous.bytes, static_cast<uint32_t>(previous.length)) != 0;
    note_resend();
}

void report_flash_type(const char* name) {
    progress_line_broken();
    std::fprintf(stderr, "%s\n", name);
    note_flash_type(name);
}

CommandOutcome handle_command(Transfer* t, char command) {
    const RunSettings& s = *t->settings;
    switch (command) {
    case 'H':
        // Asked for the next record while the last one never got out whole:
        // the target would miss it without knowing.
        if (t->sent_any && !t->sent_whole) {
            t->stop = line_lost(port_of(*t));
            return RUN_STOPS;
        }
        if (t->first_ready) {
            t->first_ready = false;
            note_first_ready();
            note_stage(STAGE_ERASE);
            // With RM a board pulled during the erase wait ends the run at once.
            if (erase_countdown(s.erase_wait, board_still_in)) {
                note_stage(STAGE_PROGRAM);
            } else if (board_removed(port_of(*t))) {
                t->stop = board_removed_stop();
                return RUN_STOPS;
            }
        }
        return TARGET_READY;
    case 'R': resend_previous(t); break;
    case 'S': return change_speed(t);
    case 'M': return show_message(t);
    case 'N': return report_write_error(t);
    case 'E': return stop_run(t, STOP_TARGET_ERROR, "Erase Error1\a", true);
    case 'e': return stop_run(t, STOP_TARGET_ERROR, "Erase Error2\a", true);
    case '1': report_flash_type("28F400BV-B"); break;
    case '2': report_flash_type("28F400BV-T"); break;
    // The port stays open here, as it always has for this one.
    case '0': return stop_run(t, STOP_TARGET_ERROR, "Type Error\a", false);
    case 'h': wait_ms(static_cast<uint32_t>(s.new_wait)); break;
    case 'Z': send_erase_list(*t); break;
    default: break;  // anything else is line noise to us
    }
    return KEEP_WAITING;
}

enum Awaited { TARGET_ASKS, KEY_PRESSED, TRANSFER_STOPS };

// Without TO the wait goes on, as it always has, and the operator hears
// once that nothing comes: the same silence, with the notice as its limit.
bool notice_due(const Transfer& t) { return !t.silence_told && t.silence.limit_ms == 0; }
SilenceWatch notice_watch(const Transfer& t) { return SilenceWatch{SILENCE_NOTICE_MS, t.silence.since}; }

void tell_of_silence(Transfer* t) {
    if (!notice_due(*t) || !silence_over_limit(notice_watch(*t))) return;
    t->silence_told = true;
    char told[128];
    std::snprintf(told, sizeof told,
                  "The target has sent nothing for %lu s. Still waiting for its next command; a key ends the run.\n",
                  static_cast<unsigned long>(SILENCE_NOTICE_MS / 1000));
    progress_line_broken();
    std::fputs(told, stderr);
    note_notice(told);
}

// How long the loop may sleep: until the next look at the port's health,
// the end TO sets, or the notice of a silent target.
uint32_t command_wait_ms(const Transfer& t) {
    const uint32_t wait = silence_bound(t.silence, COMMAND_IDLE_MS);
    return notice_due(t) ? silence_bound(notice_watch(t), wait) : wait;
}

// Handles commands until the target asks for the next record, a key is
// pressed, or a command or the target's silence stops the run (t->stop
// says why).
Awaited await_ready(Transfer* t) {
    const int port = port_of(*t);
    silence_begin(&t->silence, *t->settings);
    for (;;) {
        if (silence_over_limit(t->silence)) {
            t->stop = program_target_silent(*t);
            return TRANSFER_STOPS;
        }
        if (!ensure_port_healthy(port)) {
            if (board_removed(port)) {
                t->stop = board_removed_stop();
                return TRANSFER_STOPS;
            }
            if (key_waiting()) return KEY_PRESSED;
            continue;  // the retry pause has passed already
        }
        if (port_input_count(port) != 0) {
            const CommandOutcome handled = handle_command(t, port_read_byte(port));
            if (handled == TARGET_READY) return TARGET_ASKS;
            if (handled == RUN_STOPS) return TRANSFER_STOPS;
            // The silence counts from the end of what the command asked of fwld.
            silence_heard(&t->silence);
        }
        if (key_waiting()) return KEY_PRESSED;
        tell_of_silence(t);
        idle_wait(port, WAKE_ON_KEY, command_wait_ms(*t));
    }
}

enum Loaded { RECORD_LOADED, FILE_DONE, FILE_STOPS };

Loaded file_stops(Transfer* t, StopKind kind, const char* message) {
    t->stop = run_stopped(kind, message, true);
    return FILE_STOPS;
}

// Reads the record to send next. FILE_DONE once the file holds no more,
// which is only once every byte of the checked file has been taken;
// FILE_STOPS (t->stop says why) when it cannot be read or has changed.
Loaded load_next_record(Transfer* t) {
    FILE* file = t->program.file;
    RecordSlot* slot = &t->slots[t->next];
    const RecordRead result = read_program_record(slot, &t->program);
    if (std::ferror(file)) {
        static char message[512];
        std::snprintf(message, sizeof message, "Hex file can not be read.\n\"%s\": %s.", t->settings->program_path,
                      std::strerror(errno));
        return file_stops(t, STOP_BAD_FILE, message);
    }
    if (result == RECORD_TOO_LONG) return file_stops(t, STOP_BAD_FILE, "Hex file holds a record too long to send.");
    // A record cut short by the end of the file is never sent.
    const bool more = result == RECORD && !std::feof(file);
    if (!program_file_unchanged(&t->program, *t->checked, !more)) {
        return file_stops(t, STOP_FILE_CHANGED, file_changed_message);
    }
    return more ? RECORD_LOADED : FILE_DONE;
}

// A failed write is left to the target: after the re-open it asks again
// with 'R'. Whether it did is checked on the next 'H' and at the end. False
// when a key gave up a write that the line did not take: the run is
// interrupted.
bool send_record(Transfer* t, int32_t program_size) {
    const RecordSlot& slot = t->slots[t->next];
    t->sent_whole = port_write(port_of(*t), slot.bytes, static_cast<uint32_t>(slot.length)) != 0;
    if (!t->sent_whole && key_waiting()) return false;
    t->bytes_sent += slot.length;
    ++t->records_sent;
    t->sent_any = true;
    note_record_sent(slot.length);
    show_progress(program_size, t->bytes_sent);
    wait_ms(static_cast<uint32_t>(t->settings->write_wait));
    t->next = 1 - t->next;
    return true;
}

void close_input_files(RunFiles* files) {
    input_file_close(files->loader_fd);
    std::fclose(files->program);
    files->loader_fd = -1;
    files->program = nullptr;
}

// How the transfer ended, with the files closed: the key's interruption,
// a stop, or the end of the file, which is a finish only on a line that
// took the last record whole and still answers after the drain.
RunOutcome transfer_ended(const Transfer& t, Loaded loaded, Awaited awaited) {
    const int port = port_of(t);
    if (loaded == FILE_STOPS || awaited == TRANSFER_STOPS) return t.stop;
    // A fresh look at the keyboard as well, so a key pressed after the last
    // record still reports an interruption.
    if (awaited == KEY_PRESSED || key_waiting_now()) return run_ended(RUN_INTERRUPTED);
    const bool last_record_whole = !t.sent_any || t.sent_whole;
    if (!last_record_whole) return line_lost(port);
    const DrainResult drained = drain_on_healthy_port(port);
    // A key while the line took nothing more: the end of the run is not known.
    if (drained == DRAIN_GIVEN_UP) return run_ended(RUN_INTERRUPTED);
    if (drained == DRAIN_LINE_LOST) return line_lost(port);
    return run_ended(RUN_FINISHED);
}

}  // namespace

RunOutcome send_program(const RunSettings& s, RunFiles* files) {
    std::fputs("Execute STEP2\n", stderr);
    std::fprintf(stderr, "%ldByte transfer\n", static_cast<long>(files->program_size));
    note_said("Execute STEP2");
    Transfer t{};
    t.settings = &s;
    t.checked = &files->program_checked;
    program_stream_start(&t.program, files->program);
    t.first_ready = true;
    Loaded loaded = FILE_DONE;
    Awaited awaited = TARGET_ASKS;
    while ((loaded = load_next_record(&t)) == RECORD_LOADED) {
        awaited = await_ready(&t);
        if (awaited == TARGET_ASKS && (key_waiting() || !send_record(&t, files->program_size))) awaited = KEY_PRESSED;
        if (awaited != TARGET_ASKS) break;
    }
    if (loaded == FILE_DONE) note_stage(STAGE_DONE);
    close_input_files(files);
    return transfer_ended(t, loaded, awaited);
}
