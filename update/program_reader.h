// The program record file: 'S' records (type, count N, N data bytes) and
// the one-byte 'E' record, with anything else between them skipped.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "digest.h"

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

// The whole file as the pre-flight check read it. The transfer must take
// exactly these bytes, or the target gets something nobody checked.
struct ProgramFingerprint {
    int64_t size;
    uint64_t digest;  // 64-bit FNV-1a over every byte, skipped ones included
    int64_t records;  // S and E records
    char sha256[SHA256_HEX_SIZE];  // of every byte, as sha256sum prints it; "" when it could not be had
};

// Bytes on their way to a SHA-256, handed over a block at a time.
struct DigestSink {
    Sha256 sha;
    unsigned char pending[4096];
    size_t pending_count;
};

// The file as the transfer reads it: the buffered stream, and a running
// count and digest of every byte taken from it.
struct ProgramStream {
    FILE* file;
    int64_t consumed;
    uint64_t digest;
    int64_t looked_block;  // 4 KiB block of `consumed` at the last size look; -1: none yet
    DigestSink* sink;      // also hashes every byte taken; nullptr: no
};

constexpr uint64_t FNV_OFFSET_BASIS = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;
constexpr int64_t SIZE_LOOK_BLOCK = 4096;

inline uint64_t digest_byte(uint64_t digest, unsigned char byte) { return (digest ^ byte) * FNV_PRIME; }

void program_stream_start(ProgramStream* stream, FILE* file);

// Reads the next record into the slot. After RECORD the caller tests the
// stream's end-of-file indicator: when set, the record was cut short.
RecordRead read_program_record(RecordSlot* slot, ProgramStream* stream);

// Checks the whole file once, takes its fingerprint and rewinds it. False
// with a message naming the file (`path`) and why: a read error, a text in a
// foreign firmware format, the byte offset of the first badly framed record,
// no record at all, or an S record last (the target would never hear the
// image end).
bool check_program_file(FILE* stream, const char* path, ProgramFingerprint* seen, char* message, size_t size);

// False once the file is no longer the one the check saw. Between records a
// truncation or an append shows in the size, looked at once per 4 KiB taken;
// at the end of the file the count, the digest and the size must all agree.
bool program_file_unchanged(ProgramStream* stream, const ProgramFingerprint& checked, bool at_end);
