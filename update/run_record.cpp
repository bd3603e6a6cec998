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
#include "record_fields.h"
#include "json.h"
#include "port.h"
#include "restore.h"
#include "result_file.h"
#include "system.h"

namespace {

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
Json written;

}  // namespace

namespace {

// Cut to fit.
void copy_text(char* out, size_t size, const char* text) { std::snprintf(out, size, "%s", text); }

// Without the line ends, blanks and bell that frame it on the console.
void copy_message(char* out, size_t size, const char* text) {
    while (*text == '\n') ++text;
    copy_text(out, size, text);
    size_t end = std::strlen(out);
    while (end > 0 && (out[end - 1] == '\n' || out[end - 1] == ' ' || out[end - 1] == '\a')) --end;
    out[end] = '\0';
}

Json file_of(const InputFile& file, bool with_records) {
    Json json;
    json[record_field::path] = json_text(file.path);
    json[record_field::bytes] = file.bytes >= 0 ? Json(file.bytes) : Json(nullptr);
    json[record_field::sha256] = file.sha256[0] != '\0' ? Json(file.sha256) : Json(nullptr);
    if (with_records) json[record_field::records] = file.records >= 0 ? Json(file.records) : Json(nullptr);
    return json;
}

// Seconds since a tick, null when it never came.
Json seconds_since(bool came, uint32_t tick, uint32_t now) { return came ? json_seconds(now - tick) : Json(nullptr); }

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

// The result record, as it stands now.
Json record_of(const char* outcome, long status, const char* message) {
    namespace f = record_field;
    const uint32_t now = clock_tick_ms();
    Json json;
    json[f::time] = json_utc_time(record.start_unix);
    json[f::version] = version;
    json[f::host] = json_text(record.host);
    json[f::port] = json_text(record.port_text);
    json[f::device] = json_text(record.device[0] != '\0' ? record.device : nullptr);
    json[f::baud] = record.baud;
    json[f::final_baud] = record.final_baud;
    json[f::loader] = file_of(record.loader, false);
    json[f::program] = file_of(record.program, true);
    json[f::loader_records_sent] = record.loader_records_sent;
    json[f::records_sent] = record.records_sent;
    json[f::bytes_sent] = record.bytes_sent;
    json[f::resends] = record.resends;
    json[f::reopens] = record.reopens;
    json[f::speed_changes] = record.speed_changes;
    json[f::flash_type] = json_text(record.flash_type);
    json[f::lines] = json_text(record.lines);
    json[f::messages] = Json::array();
    for (int i = 0; i < record.message_count; ++i) json[f::messages].push_back(json_text(record.messages[i]));
    json[f::seconds] = json_seconds(now - record.start_ms);
    json[f::program_seconds] = seconds_since(record.first_ready_seen, record.first_ready_ms, now);
    json[f::board_seconds] = seconds_since(record.answered, record.answered_ms, now);
    json[f::stage] = stage_text(record.stage);
    json[f::outcome] = outcome;
    // As the system reports it: Windows' 0xC000013A is a large unsigned number.
    json[f::exit] = static_cast<uint32_t>(status);
    json[f::message] = json_text(message);
    return json;
}

// The one line, with how the run ended, to the log (on the disk itself);
// written once, and kept for the end event. False when the log does not
// hold it.
bool write_line(const char* outcome, long status, const char* message) {
    if (line_written) return true;
    line_written = true;
    written = record_of(outcome, status, message);
    bool logged = true;
    if (record.logging) {
        const std::string line = json_line(written);
        logged = result_file_append(record.log, line.data(), line.size()) && result_file_sync(record.log);
    }
    // A board updated without its record: the run's status says so.
    if (!logged && status == 0) written[record_field::exit] = RECORD_LOST_STATUS;
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
    written = Json();
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

const char* stage_text(RunStage stage) {
    static const char* const names[] = {stage_name::power_on, stage_name::loader, stage_name::erase,
                                        stage_name::program, stage_name::done};
    return names[stage];
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
    // After the last record the board was still being written to.
    const char* stage = stage_text(record.stage == STAGE_DONE ? STAGE_PROGRAM : record.stage);
    const int64_t total = in_loader ? (record.loader.bytes + LOADER_RECORD - 1) / LOADER_RECORD : record.program.records;
    const uint32_t sent = in_loader ? record.loader_records_sent : record.records_sent;
    const char* what = in_loader ? "loader record" : "record";
    if (sent == 0) {
        std::snprintf(out, size, "Board removed in the %s stage before %s 1 of %lld.", stage, what,
                      static_cast<long long>(total));
    } else {
        std::snprintf(out, size, "Board removed in the %s stage after %s %lu of %lld.", stage,
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
    events_end(written);
}

