// The records a tool must put on the line for a program record file, and a
// digest over them, so that what a target received can be compared with
// what it should have received.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

struct RecordList {
    std::vector<Bytes> records;  // each record exactly as framed on the line
    bool has_oversize = false;   // an S record with a count above 126 was taken

    size_t byte_count() const;
    std::string digest() const;
};

// Splits a program record file the way the tool reads it: outside a record
// every byte other than 'S' and 'E' is skipped; an S record is 'S', a count
// N and N data bytes taken blindly; an E record is the single byte 'E'.
// A record cut short by the end of the file is not sent, except an S record
// with count 0 whose count byte is the last byte of the file.
RecordList records_from_file_bytes(const Bytes& file);
// nullopt when the file cannot be read.
std::optional<RecordList> records_from_file(const std::string& path);

// 64-bit FNV-1a over the records in order, as 16 lower-case hex digits.
// Records are self-delimiting, so the concatenation is unambiguous.
std::string records_digest(const std::vector<Bytes>& records);

// Whole-file helpers shared by the target and its command line.
std::optional<Bytes> read_whole_file(const std::string& path);
bool write_whole_file(const std::string& path, const Bytes& data);

}  // namespace sim
