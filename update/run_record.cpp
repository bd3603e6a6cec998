// The result log: what one run did, as one line of JSON appended to a file
// that several fwld processes may share. Everything the line needs is
// gathered here as the run goes, in static storage, and the line is built
// without the heap, once, at the run's end.
#include "run_record.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "clock.h"
#include "device_names.h"
#include "digest.h"
#include "events.h"
#include "json_line.h"
#include "port.h"
#include "restore.h"
#include "result_file.h"
#include "system.h"

namespace {

constexpr size_t LINE_BUFFER_SIZE = 64 * 1024;
constexpr int HOST_NAME_MAX_LENGTH = 256;
const char version[] = "8.00";

struct InputFile {
    const char* path;
    int64_t bytes;  // -1: not known
    char sha256[SHA256_HEX_SIZE];
    int64_t records;  // program only; -1: not known
};

struct Record {
    bool logging;  // a result log is open
    intptr_t log;
    int64_t start_unix;
    uint32_t start_ms;
    uint32_t first_ready_ms;
    bool first_ready_seen;
    uint32_t answered_ms;  // the target's "Ready ok.": a board was there
    bool answered;
    char host[HOST_NAME_MAX_LENGTH];
    const char* port_text;
    char device[PORT_PATH_MAX];
    int32_t baud;
    int32_t final_baud;
    InputFile loader;
    InputFile program;
    uint32_t loader_records_sent;
    uint32_t records_sent;
    int64_t bytes_sent;
    uint32_t resends;
    uint32_t reopens;
    uint32_t speed_changes;
    const char* flash_type;
    char messages[RECORD_MESSAGES_MAX][RECORD_TEXT_MAX];
    int message_count;
    char said[RECORD_TEXT_MAX];
    RunStage stage;
    const char* lines;  // RS as given
};

Record record{};
// The line is written once and sent once, whatever asks again.
bool line_written = false;
bool end_sent = false;
size_t line_length = 0;
// The end event's own members go in front of the line.
char line_space[END_EVENT_ROOM + LINE_BUFFER_SIZE];
char* const line_buffer = line_space + END_EVENT_ROOM;

}  // namespace

namespace {

// Plain copy, cut to fit.
void copy_text(char* out, size_t size, const char* text) {
    size_t n = 0;
    for (; text[n] != '\0' && n + 1 < size; ++n) out[n] = text[n];
    out[n] = '\0';
}

// Without the line ends, blanks and bell that frame it on the console.
void copy_message(char* out, size_t size, const char* text) {
    while (*text == '\n') ++text;
    copy_text(out, size, text);
    size_t end = std::strlen(out);
    while (end > 0 && (out[end - 1] == '\n' || out[end - 1] == ' ' || out[end - 1] == '\a')) --end;
    out[end] = '\0';
}

void add_file(JsonLine* line, const char* name, const InputFile& file, bool with_records) {
    json_object_begin(line, name);
    json_string(line, "path", file.path);
    if (file.bytes >= 0) {
        json_signed(line, "bytes", file.bytes);
    } else {
        json_null(line, "bytes");
    }
    json_string(line, "sha256", file.sha256[0] != '\0' ? file.sha256 : nullptr);
    if (with_records) {
        if (file.records >= 0) {
            json_signed(line, "records", file.records);
        } else {
            json_null(line, "records");
        }
    }
    json_object_end(line);
}

const char* outcome_name(const RunOutcome& outcome) {
    static const char* const stops[] = {"bad-file",     "port-not-opened", "target-error", "line-failed",
                                        "file-changed", "target-silent",   "removed"};
    switch (outcome.end) {
    case RUN_FINISHED: return "finished";
    case RUN_INTERRUPTED:
    case RUN_ABANDONED: return "interrupted";
    case RUN_STOPPED: return stops[outcome.kind];
    case RUN_BROKEN: return "signal";
    case RUN_GOES_ON: break;
    }
    return "unknown";
}

// The result record's line, in line_buffer.
void build_line(const char* outcome, long status, const char* message, JsonLine* built) {
    const uint32_t now = clock_tick_ms();
    JsonLine line;
    json_line_begin(&line, line_buffer, LINE_BUFFER_SIZE);
    json_utc_time(&line, "time", record.start_unix);
    json_string(&line, "version", version);
    json_string(&line, "host", record.host);
    json_string(&line, "port", record.port_text);
    json_string(&line, "device", record.device[0] != '\0' ? record.device : nullptr);
    json_signed(&line, "baud", record.baud);
    json_signed(&line, "final_baud", record.final_baud);
    add_file(&line, "loader", record.loader, false);
    add_file(&line, "program", record.program, true);
    json_unsigned(&line, "loader_records_sent", record.loader_records_sent);
    json_unsigned(&line, "records_sent", record.records_sent);
    json_signed(&line, "bytes_sent", record.bytes_sent);
    json_unsigned(&line, "resends", record.resends);
    json_unsigned(&line, "reopens", record.reopens);
    json_unsigned(&line, "speed_changes", record.speed_changes);
    json_string(&line, "flash_type", record.flash_type);
    json_string(&line, "lines", record.lines);
    json_array_begin(&line, "messages");
    for (int i = 0; i < record.message_count; ++i) json_string(&line, nullptr, record.messages[i]);
    json_array_end(&line);
    json_seconds(&line, "seconds", now - record.start_ms);
    if (record.first_ready_seen) {
        json_seconds(&line, "program_seconds", now - record.first_ready_ms);
    } else {
        json_null(&line, "program_seconds");
    }
    if (record.answered) {
        json_seconds(&line, "board_seconds", now - record.answered_ms);
    } else {
        json_null(&line, "board_seconds");
    }
    static const char* const stages[] = {"power-on", "loader", "erase", "program", "done"};
    json_string(&line, "stage", stages[record.stage]);
    json_string(&line, "outcome", outcome);
    // As the system reports it: Windows' 0xC000013A is a large unsigned number.
    json_unsigned(&line, "exit", static_cast<uint32_t>(status));
    json_string(&line, "message", message);
    *built = line;
}

size_t built_line(const char* outcome, long status, const char* message) {
    JsonLine line;
    build_line(outcome, status, message, &line);
    return json_line_end(&line);
}

// The one line, with how the run ended, to the log (on the disk itself);
// written once, and kept for the end event. False when the log does not
// hold it.
bool write_line(const char* outcome, long status, const char* message) {
    if (line_written) return true;
    line_written = true;
    size_t length = built_line(outcome, status, message);
    bool logged = true;
    if (record.logging) {
        logged = length > 0 && result_file_append(record.log, line_buffer, length) && result_file_sync(record.log);
    }
    // A board updated without its record: the run's status says so.
    if (!logged && status == 0) length = built_line(outcome, RECORD_LOST_STATUS, message);
    line_length = length;
    return logged;
}

// An ending signal's line, or the Windows break's, in the same words.
bool write_line_for_signal() {
    char message[64];
    std::snprintf(message, sizeof message, "Ended by %s", restore_ending_cause());
    return write_line("signal", restore_ending_status(), message);
}

}  // namespace

bool record_start(const RunSettings& s, char* message, int size) {
    // A fresh record for every run, also where one process runs several
    // (the in-process harness).
    record = Record{};
    line_written = false;
    end_sent = false;
    line_length = 0;
    record.lines = s.lines_text;
    record.start_unix = static_cast<int64_t>(std::time(nullptr));
    record.start_ms = clock_tick_ms();
    record.port_text = s.port_text;
    record.baud = record.final_baud = s.baud_rate;
    record.loader = InputFile{s.loader_path, -1, {}, -1};
    record.program = InputFile{s.program_path, -1, {}, -1};
    if (s.log_path != nullptr) {
        record.log = result_file_open(s.log_path);
        if (record.log < 0) {
            char reason[160];
            system_error_text(result_file_last_error(), reason, sizeof reason);
            std::snprintf(message, static_cast<size_t>(size),
                          "Result log \"%s\" can not be opened for appending (%s): no board is updated without its "
                          "record.",
                          s.log_path, reason);
            return false;
        }
        record.logging = true;
    }
    if (s.log_path == nullptr && s.event_path == nullptr) return true;
    host_name(record.host, sizeof record.host);
    return events_start(s.event_path, record.start_ms, message, size);
}

void record_loader(int64_t bytes, const char* sha256_hex) {
    record.loader.bytes = bytes;
    copy_text(record.loader.sha256, sizeof record.loader.sha256, sha256_hex);
}

void record_program(int64_t bytes, const char* sha256_hex, int64_t records) {
    record.program.bytes = bytes;
    copy_text(record.program.sha256, sizeof record.program.sha256, sha256_hex);
    record.program.records = records;
}

void record_device(const char* path) { copy_text(record.device, sizeof record.device, path); }

void note_said(const char* message) { copy_message(record.said, sizeof record.said, message); }
void note_stage(RunStage stage) {
    record.stage = stage;
    if (stage == STAGE_LOADER && !record.answered) {
        record.answered_ms = clock_tick_ms();
        record.answered = true;
    }
    if (stage == STAGE_DONE) {
        events_progress_flush();
    } else {
        event_stage(stage, record.final_baud);
    }
}

void note_notice(const char* text) {
    char line[RECORD_TEXT_MAX];
    copy_message(line, sizeof line, text);
    event_notice(line);
}
void note_loader_record_sent() { ++record.loader_records_sent; }

void note_first_ready() {
    record.first_ready_ms = clock_tick_ms();
    record.first_ready_seen = true;
}

void note_record_sent(int32_t bytes) {
    ++record.records_sent;
    record.bytes_sent += bytes;
    event_progress(record.bytes_sent, record.program.bytes, record.records_sent);
}

void note_resend() { ++record.resends; }
void note_reopen() {
    ++record.reopens;
    event_reopen(record.reopens);
}

void note_speed(int32_t baud) {
    ++record.speed_changes;
    record.final_baud = baud;
    event_speed(baud);
}

void note_flash_type(const char* name) {
    record.flash_type = name;
    event_flash_type(name);
}

void note_lines(const char* sequence, const char* steps) { event_lines(sequence, steps); }

// The record keeps the first messages; the stream tells every one.
void note_target_message(const char* shown) {
    event_message(shown);
    if (record.message_count >= RECORD_MESSAGES_MAX) return;
    copy_text(record.messages[record.message_count], RECORD_TEXT_MAX, shown);
    ++record.message_count;
}

void describe_removal(char* out, size_t size) {
    constexpr int64_t LOADER_RECORD = 80;
    const bool in_loader = record.stage <= STAGE_LOADER;
    static const char* const stage_names[] = {"power-on", "loader", "erase", "program", "program"};
    const int64_t total = in_loader ? (record.loader.bytes + LOADER_RECORD - 1) / LOADER_RECORD : record.program.records;
    const uint32_t sent = in_loader ? record.loader_records_sent : record.records_sent;
    const char* what = in_loader ? "loader record" : "record";
    if (sent == 0) {
        std::snprintf(out, size, "Board removed in the %s stage before %s 1 of %lld.", stage_names[record.stage], what,
                      static_cast<long long>(total));
    } else {
        std::snprintf(out, size, "Board removed in the %s stage after %s %lu of %lld.", stage_names[record.stage],
                      what, static_cast<unsigned long>(sent), static_cast<long long>(total));
    }
}

bool record_end(const RunOutcome& outcome, int status, const char* message) {
    if (outcome.end == RUN_BROKEN) return write_line_for_signal();
    if (message != nullptr) note_said(message);
    return write_line(outcome_name(outcome), status, record.said);
}

void record_send_end() {
    if (!line_written || end_sent) return;
    end_sent = true;
    if (line_length > 0) events_end(line_buffer, line_length);
}

