// Firmware text formats that are not program record files, told apart by
// their lines. A line is a record of a format only when its checksum is
// right, so binary records are never taken for one.
#pragma once
#include <cstdint>

enum ForeignFormat : uint8_t {
    FORMAT_NONE,         // not a foreign text: some line is no record of one format
    FORMAT_INTEL_HEX,    // every line ':' then hex, count and checksum right
    FORMAT_MOTOROLA,     // every line S0-S9 then hex, count and checksum right
};

// One pass over a file, a byte at a time. No line is held: each hex byte is
// summed as it comes.
struct ForeignScan {
    ForeignFormat file;   // the format of every record line so far; FORMAT_NONE before the first
    bool ruled_out;       // a line fits no format, or the formats mix
    ForeignFormat line;   // the format the current line began as
    uint16_t chars;       // characters of the current line so far, line end excluded
    uint16_t bytes;       // whole hex bytes of the current line
    uint8_t count;        // its first hex byte
    uint8_t sum;          // of its hex bytes, modulo 256
    int8_t high_nibble;   // the first digit of a hex byte; -1: none pending
    bool line_bad;
    bool carriage_return; // the last byte was a CR: only an LF may follow
};

void foreign_scan_start(ForeignScan* scan);
void foreign_scan_byte(ForeignScan* scan, unsigned char byte);
// The verdict once every byte has been given.
ForeignFormat foreign_scan_end(ForeignScan* scan);
// "an Intel HEX file", "a Motorola S-record file"; "" for FORMAT_NONE.
const char* foreign_format_name(ForeignFormat format);
