// The program record file: 'S' records (type, count N, N data bytes) and
// the one-byte 'E' record, with anything else between them skipped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

constexpr int RECORD_SLOT_SIZE = 128;
constexpr int RECORD_COUNT_MAX = RECORD_SLOT_SIZE - 2;

struct RecordSlot {
    unsigned char bytes[RECORD_SLOT_SIZE];  // the record exactly as in the file
    int32_t length;
};

enum RecordRead {
    NO_RECORD = 0,
    RECORD = 1,
    RECORD_TOO_LONG = 2,  // count over 126: would not fit the slot; nothing stored past byte 1
};

// Reads the next record into the slot. After RECORD the caller tests the
// stream's end-of-file indicator: when set, the record was cut short.
RecordRead read_program_record(RecordSlot* slot, FILE* stream);

// Checks the framing of the whole file once and rewinds it. False with a
// message naming the byte offset of the first bad record.
bool check_program_file(FILE* stream, char* message, size_t size);
