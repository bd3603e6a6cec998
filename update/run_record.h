// What the result log tells of one run, gathered as the run goes, and the
// log line itself.
#pragma once
#include <cstddef>
#include <cstdint>

#include "outcome.h"
#include "settings.h"

// Where a run is, in the result log's words: told to switch the target on
// and waking it, getting the loader to it, the erase wait after its first
// 'H', the records, and every record sent.
enum RunStage : uint8_t { STAGE_POWER_ON, STAGE_LOADER, STAGE_ERASE, STAGE_PROGRAM, STAGE_DONE };
// The stage as the record and the events spell it.
const char* stage_text(RunStage stage);

constexpr int RECORD_MESSAGES_MAX = 20;
constexpr int RECORD_TEXT_MAX = 512;

// Opens the result log (LG) and the event stream (EV) when the settings
// name them, and notes the start of the run. False when one does not open;
// message then says which file and why.
bool record_start(const RunSettings& settings, char* message, int size);
// The input files as the run read them, each with its SHA-256.
void record_loader(int64_t bytes, const char* sha256_hex);
void record_program(int64_t bytes, const char* sha256_hex, int64_t records);
// The device the port opened.
void record_device(const char* path);

void note_said(const char* message);  // the last console message so far
void note_stage(RunStage stage);
void note_notice(const char* text);   // told to the operator while the run goes on
void note_loader_record_sent();
void note_first_ready();              // the target's first 'H'
void note_record_sent(int32_t bytes);
void note_resend();
void note_reopen();
void note_speed(int32_t baud);        // a speed change the port took
void note_flash_type(const char* name);
void note_target_message(const char* shown);
void note_lines(const char* sequence, const char* steps);  // an RS sequence has run

// "Board removed in the program stage after record 5 of 31.": where the
// run was when its board went.
void describe_removal(char* out, size_t size);

// A run that would have ended with 0 and whose line the log could not take:
// the board was updated, its record is lost.
constexpr int RECORD_LOST_STATUS = 3;

// Writes the run's one line to the log, once, with how it ended, the exit
// status and the message that tells why (nullptr: the last one the console
// showed), and flushes it to the disk; the Windows break's record is a
// signal's. Nothing happens without a log or once the line is out. False
// when the log could not take the line (its end event then says status 3
// where it said 0).
bool record_end(const RunOutcome& outcome, int status, const char* message);
// The same line as the end event, the stream's last: sent once, after
// whatever the run still does once its record is written.
void record_send_end();
