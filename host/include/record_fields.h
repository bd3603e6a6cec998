// The names of the result record's members and of the event stream's kinds
// and members: one spelling for fwld, which writes them, and for every
// reader of them (fwld-gang).
#pragma once

namespace record_field {
inline constexpr char time[] = "time";
inline constexpr char version[] = "version";
inline constexpr char host[] = "host";
inline constexpr char port[] = "port";
inline constexpr char device[] = "device";
inline constexpr char baud[] = "baud";
inline constexpr char final_baud[] = "final_baud";
inline constexpr char loader[] = "loader";    // an input file: path, bytes, sha256
inline constexpr char program[] = "program";  // the same and its records
inline constexpr char path[] = "path";
inline constexpr char bytes[] = "bytes";
inline constexpr char sha256[] = "sha256";
inline constexpr char records[] = "records";
inline constexpr char loader_records_sent[] = "loader_records_sent";
inline constexpr char resends[] = "resends";
inline constexpr char reopens[] = "reopens";
inline constexpr char speed_changes[] = "speed_changes";
inline constexpr char flash_type[] = "flash_type";
inline constexpr char messages[] = "messages";
inline constexpr char program_seconds[] = "program_seconds";
inline constexpr char stage[] = "stage";
inline constexpr char outcome[] = "outcome";
inline constexpr char exit[] = "exit";
inline constexpr char message[] = "message";
inline constexpr char bytes_sent[] = "bytes_sent";
inline constexpr char records_sent[] = "records_sent";
inline constexpr char seconds[] = "seconds";
inline constexpr char board_seconds[] = "board_seconds";
inline constexpr char lines[] = "lines";
// fwld-gang's own, after the record's members in results.jsonl.
inline constexpr char session[] = "session";
inline constexpr char board[] = "board";
}  // namespace record_field

namespace event_field {
inline constexpr char event[] = "event";  // the kind
inline constexpr char t[] = "t";          // seconds since the run started
inline constexpr char stage[] = "stage";
inline constexpr char bytes[] = "bytes";
inline constexpr char total[] = "total";
inline constexpr char records[] = "records";
inline constexpr char percent[] = "percent";
inline constexpr char text[] = "text";  // of a message and a notice
inline constexpr char name[] = "name";  // of a flash type
inline constexpr char baud[] = "baud";
inline constexpr char count[] = "count";
inline constexpr char sequence[] = "sequence";  // of the lines: "entry" or "exit"
inline constexpr char steps[] = "steps";
}  // namespace event_field

namespace event_kind {
inline constexpr char stage[] = "stage";
inline constexpr char progress[] = "progress";
inline constexpr char speed[] = "speed";
inline constexpr char message[] = "message";
inline constexpr char flash_type[] = "flash_type";
inline constexpr char notice[] = "notice";
inline constexpr char reopen[] = "reopen";
inline constexpr char lines[] = "lines";
inline constexpr char end[] = "end";
}  // namespace event_kind

// The stage names the record and the stage events use, in their order.
namespace stage_name {
inline constexpr char power_on[] = "power-on";
inline constexpr char loader[] = "loader";
inline constexpr char erase[] = "erase";
inline constexpr char program[] = "program";
inline constexpr char done[] = "done";
}  // namespace stage_name
