// Program record reader and the pre-flight check of a record file.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "foreign_format.h"
#include "program_reader.h"

namespace {

FILE* file_with(const std::string& bytes) {
    FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

// A file and the reader's stream over it.
struct Reading {
    FILE* file;
    ProgramStream stream;
    explicit Reading(const std::string& bytes) : file(file_with(bytes)) { program_stream_start(&stream, file); }
    ~Reading() { std::fclose(file); }
    RecordRead next(RecordSlot* slot) { return read_program_record(slot, &stream); }
};

std::string record_text(const RecordSlot& slot) {
    return std::string(reinterpret_cast<const char*>(slot.bytes), static_cast<size_t>(slot.length));
}

TEST(ProgramReader, RecordsInOrderThenNoRecord) {
    Reading r(std::string("S\x03\x10\x20\x30" "E", 6));
    RecordSlot slot{};
    ASSERT_EQ(r.next(&slot), RECORD);
    EXPECT_EQ(record_text(slot), std::string("S\x03\x10\x20\x30", 5));
    EXPECT_FALSE(std::feof(r.file));
    ASSERT_EQ(r.next(&slot), RECORD);
    EXPECT_EQ(record_text(slot), "E");
    EXPECT_FALSE(std::feof(r.file));
    EXPECT_EQ(r.next(&slot), NO_RECORD);
    EXPECT_TRUE(std::feof(r.file));
}

TEST(ProgramReader, SkipsTextBetweenRecordsButNotInsideThem) {
    Reading r(std::string("se junk\r\nS\x02SE\r\nxS\x00\r\nE", 21));
    RecordSlot slot{};
    ASSERT_EQ(r.next(&slot), RECORD);
    EXPECT_EQ(record_text(slot), "S\x02SE");
    ASSERT_EQ(r.next(&slot), RECORD);
    EXPECT_EQ(record_text(slot), std::string("S\x00", 2));
    ASSERT_EQ(r.next(&slot), RECORD);
    EXPECT_EQ(record_text(slot), "E");
    EXPECT_EQ(r.next(&slot), NO_RECORD);
}

TEST(ProgramReader, EndOfFileTable) {
    struct Case {
        std::string file;
        RecordRead result;
        bool eof;
        int length;
    };
    const Case cases[] = {
        {std::string("S\x02\x01\x02", 4), RECORD, false, 4},  // ends after the last data byte
        {"E", RECORD, false, 1},                               // ends after an E record
        {std::string("S\x04\x01\x02", 4), RECORD, true, 6},   // ends inside the data
        {std::string("S\x01", 2), RECORD, true, 3},           // ends after a count byte of 1
        {std::string("S\x00", 2), RECORD, false, 2},          // count 0: a whole record
        {"xxS", NO_RECORD, true, -1},                          // ends after the type byte
        {"\r\nabc", NO_RECORD, true, -1},                      // only skipped bytes
        {"", NO_RECORD, true, -1},                             // empty file
    };
    for (const Case& c : cases) {
        Reading r(c.file);
        RecordSlot slot{};
        slot.length = -1;
        EXPECT_EQ(r.next(&slot), c.result) << c.file;
        EXPECT_EQ(std::feof(r.file) != 0, c.eof) << c.file;
        EXPECT_EQ(slot.length, c.length) << c.file;
    }
}

TEST(ProgramReader, CountOverTheSlotIsRefusedWithoutOverrun) {
    Reading r("S\x7f" + std::string(127, 'A'));
    RecordSlot slots[2]{};
    std::memset(&slots[1], 0x5A, sizeof slots[1]);
    EXPECT_EQ(r.next(&slots[0]), RECORD_TOO_LONG);
    EXPECT_EQ(slots[1].bytes[0], 0x5A);
}

std::string preflight(const std::string& bytes, bool* ok) {
    FILE* f = file_with(bytes);
    std::fgetc(f);  // the check must rewind whatever the position
    char message[256] = "";
    ProgramFingerprint seen{};
    *ok = check_program_file(f, "dir/p.hex", &seen, message, sizeof message);
    EXPECT_EQ(std::ftell(f), 0);
    EXPECT_FALSE(std::feof(f));
    std::fclose(f);
    return message;
}

// Intel HEX and Motorola S-record lines, checksums right.
const std::string intel_hex = ":10010000214601360121470136007EFE09D2190140\r\n"
                              ":100110002146017E17C20001FF5F16002148011928\r\n"
                              ":00000001FF\r\n";
const std::string motorola = "S00F000068656C6C6F202020202000003C\n"
                             "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\n"
                             "S5030001FB\n"
                             "S9030000FC\n";

std::string with_one_checksum_wrong(std::string text) {
    const size_t at = text.find('\n') - 2;  // the first line's last hex digit
    text[at] = text[at] == '0' ? '1' : '0';
    return text;
}

TEST(ProgramPreflight, AcceptsWellFramedFiles) {
    const std::string accepted[] = {
        std::string("junk\r\nS\x03SEx\r\nS\x00\r\nE\r\n", 20),  // text between records, data 'S' and 'E'
        "S~" + std::string(126, 'S') + "E",                      // count 126 fills the slot exactly
        "E",
        "; nothing to write\r\nE\r\nE\r\n",                       // E records only
        std::string("S\x02\x01\x02S\x00" "E", 7),                // count 0 right before the end record
        with_one_checksum_wrong(intel_hex),  // no Intel HEX: its E digits are E records
    };
    for (const std::string& file : accepted) {
        bool ok = false;
        const std::string message = preflight(file, &ok);
        EXPECT_TRUE(ok) << file << " -> " << message;
    }
}

ForeignFormat scanned(const std::string& text) {
    ForeignScan scan;
    foreign_scan_start(&scan);
    for (char c : text) foreign_scan_byte(&scan, static_cast<unsigned char>(c));
    return foreign_scan_end(&scan);
}

TEST(ForeignFormat, EveryLineMustBeARecordOfOneFormat) {
    struct Case {
        std::string text;
        ForeignFormat format;
    };
    const Case cases[] = {
        {":00000001ff", FORMAT_INTEL_HEX},            // lower-case hex, no line end
        {":00000001FF\r", FORMAT_INTEL_HEX},          // a CR at the very end
        {":00000001FF\r\r\n", FORMAT_NONE},           // a CR not before the LF
        {":00000001FF \n", FORMAT_NONE},
        {":00000001FF0\n", FORMAT_NONE},              // a digit left over
        {":0100000001FF\n", FORMAT_NONE},             // count says one data byte, none there
        {":01000000AB54", FORMAT_INTEL_HEX},
        {"S9030000FC\n:00000001FF\n", FORMAT_NONE},   // mixed
        {"SA030000FC\n", FORMAT_NONE},                // S then no digit
        {"S9030000FC\nnote\n", FORMAT_NONE},
        {"\r\n\n", FORMAT_NONE},                      // no record line at all
        {":FF000000" + std::string(510, '0') + "01", FORMAT_INTEL_HEX},  // 255 data bytes
        {":FF000000" + std::string(512, '0') + "01", FORMAT_NONE},       // longer than any record
    };
    for (const Case& c : cases) EXPECT_EQ(scanned(c.text), c.format) << c.text;
}

TEST(ProgramPreflight, RefusesFilesThatCannotBeRightNamingFileAndReason) {
    struct Case {
        std::string file;
        const char* says;
    };
    const Case cases[] = {
        {std::string("S\x01\x01\r\nS\x04\x01\x02", 9), "ends inside the record at byte 5"},  // data cut short
        {"S\x01\x01" "E\r\nS", "ends inside the record at byte 6"},                          // lone 'S' last
        {"abcS\x7f" + std::string(127, 'x'), "record at byte 3 has count 127"},
        {"S\xff" + std::string(255, 'x') + "E", "record at byte 0 has count 255"},
        {"", "holds no program record"},
        {"; comments, CR LF and s e only\r\n", "holds no program record"},
        {"S\x01\x01", "no E record after its last S record (byte 0)"},
        {std::string("E\r\nS\x01\x01\r\n", 8), "no E record after its last S record (byte 3)"},
        {std::string("S\x02\x01\x02S\x00", 6), "no E record after its last S record (byte 4)"},
        {intel_hex, "is an Intel HEX file; fwld sends binary 'S'/'E' program records."},
        {":00000001FF", "is an Intel HEX file"},                    // no line end, no E digit
        {motorola, "is a Motorola S-record file; fwld sends binary 'S'/'E' program records."},
        {"\n" + motorola + "\r\n", "is a Motorola S-record file"},  // empty lines rule nothing out
        // Not recognised: the framing speaks.
        {with_one_checksum_wrong(motorola), "ends inside the record at byte 102"},
        {intel_hex + motorola, "ends inside the record at byte 205"},  // formats mixed
    };
    for (const Case& c : cases) {
        bool ok = true;
        const std::string message = preflight(c.file, &ok);
        EXPECT_FALSE(ok) << c.file;
        EXPECT_EQ(message.rfind("Hex file \"dir/p.hex\" ", 0), 0u) << message;
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
}

// n records of `size` data bytes each, every one different, CR LF between.
std::string records_of(int n, int size) {
    std::string file;
    for (int r = 0; r < n; ++r) {
        file += 'S';
        file += static_cast<char>(size);
        for (int i = 0; i < size; ++i) file += static_cast<char>((r * 31 + i) & 0xFF);
        file += "\r\n";
    }
    return file + "E\r\n";
}

// The check's fingerprint of a file, and a reading of it from the start.
struct Checked : Reading {
    ProgramFingerprint seen{};
    explicit Checked(const std::string& bytes, bool passes = true) : Reading(bytes) {
        char message[256];
        EXPECT_EQ(check_program_file(file, "p.hex", &seen, message, sizeof message), passes) << message;
        program_stream_start(&stream, file);
    }
    // Reads records until `consumed` reaches at least `offset`; false when
    // the file says it changed on the way.
    bool read_past(int64_t offset) {
        RecordSlot slot{};
        while (stream.consumed < offset) {
            if (next(&slot) != RECORD || std::feof(file)) return program_file_unchanged(&stream, seen, true);
            if (!program_file_unchanged(&stream, seen, false)) return false;
        }
        return true;
    }
    bool read_to_end() { return read_past(INT64_MAX); }
};

TEST(ProgramFingerprint, CoversEveryByteAndMatchesAWholeReading) {
    Checked one("a", false);  // refused, and fingerprinted all the same
    EXPECT_EQ(one.seen.size, 1);
    EXPECT_EQ(one.seen.digest, 0xaf63dc4c8601ec8cull);  // FNV-1a 64 of "a"
    Checked empty("", false);
    EXPECT_EQ(empty.seen.digest, FNV_OFFSET_BASIS);
    EXPECT_TRUE(empty.read_to_end());

    const std::string file = "; comment\r\n" + records_of(100, 90) + "trailing text";
    Checked c(file);
    EXPECT_EQ(c.seen.size, static_cast<int64_t>(file.size()));
    EXPECT_TRUE(c.read_to_end());
    EXPECT_EQ(c.stream.consumed, c.seen.size);  // skipped bytes counted too
    EXPECT_EQ(c.stream.digest, c.seen.digest);
    // Skipped bytes count in the digest: a changed comment is a changed file.
    Checked other(";-comment\r\n" + records_of(100, 90) + "trailing text");
    EXPECT_NE(other.seen.digest, c.seen.digest);
}

TEST(ProgramFingerprint, TruncationIsSeenOnceTheReadingEntersTheNextBlock) {
    Checked c(records_of(200, 100));  // about 20 KiB
    ASSERT_TRUE(c.read_past(1000));
    ASSERT_EQ(ftruncate(fileno(c.file), 6000), 0);
    // Within the block already looked at, nothing is asked of the system.
    EXPECT_TRUE(program_file_unchanged(&c.stream, c.seen, false));
    EXPECT_FALSE(c.read_past(SIZE_LOOK_BLOCK + 200));
    EXPECT_GE(c.stream.consumed, SIZE_LOOK_BLOCK);
    EXPECT_LT(c.stream.consumed, SIZE_LOOK_BLOCK + 200);
}

TEST(ProgramFingerprint, AppendedBytesAreSeenAtTheNextBlockOrTheEnd) {
    Checked big(records_of(200, 100));
    ASSERT_TRUE(big.read_past(100));
    ASSERT_EQ(pwrite(fileno(big.file), "S\x01x", 3, big.seen.size), 3);
    EXPECT_FALSE(big.read_past(SIZE_LOOK_BLOCK + 200));
    EXPECT_LT(big.stream.consumed, SIZE_LOOK_BLOCK + 200);
    // A small file lies in one block: its end looks at the size too.
    Checked small(records_of(3, 10));
    ASSERT_TRUE(small.read_past(1));
    ASSERT_EQ(pwrite(fileno(small.file), "S\x01x", 3, small.seen.size), 3);
    EXPECT_FALSE(small.read_to_end());
}

TEST(ProgramFingerprint, TruncationBehindTheBufferedBytesIsSeenAtTheEnd) {
    // The stream already holds the whole small file: every checked byte
    // still comes, and only the size tells.
    Checked c(records_of(3, 10));
    ASSERT_TRUE(c.read_past(1));
    ASSERT_EQ(ftruncate(fileno(c.file), 5), 0);
    EXPECT_FALSE(c.read_to_end());
    EXPECT_EQ(c.stream.consumed, c.seen.size);
    EXPECT_EQ(c.stream.digest, c.seen.digest);
}

TEST(ProgramFingerprint, SameSizeRewriteIsCaughtByTheDigestAtTheEnd) {
    Checked c(records_of(200, 100));
    ASSERT_TRUE(c.read_past(100));
    // Beyond what the stream has buffered: the reading takes the new bytes.
    const long at = static_cast<long>(c.seen.size) - 500;
    ASSERT_EQ(pwrite(fileno(c.file), "\x7f", 1, at), 1);
    EXPECT_TRUE(c.read_past(at - 100));  // the size never changed
    EXPECT_FALSE(c.read_to_end());
    // An untouched file of the same shape passes.
    Checked same(records_of(200, 100));
    EXPECT_TRUE(same.read_to_end());
}

TEST(ProgramFingerprint, TensOfMegabytesAreReadWithoutHoldingTheFile) {
    FILE* f = std::tmpfile();
    const std::string chunk = records_of(1000, 126);  // about 128 KB
    constexpr int CHUNKS = 200;                        // about 25 MB
    for (int i = 0; i < CHUNKS; ++i) std::fwrite(chunk.data(), 1, chunk.size(), f);
    std::fflush(f);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    char message[256];
    ProgramFingerprint seen{};
    ASSERT_TRUE(check_program_file(f, "p.hex", &seen, message, sizeof message)) << message;
    EXPECT_EQ(seen.size, static_cast<int64_t>(chunk.size()) * CHUNKS);
    ProgramStream stream;
    program_stream_start(&stream, f);
    RecordSlot slot{};
    long records = 0;
    bool unchanged = true;
    while (read_program_record(&slot, &stream) == RECORD && !std::feof(f)) {
        ++records;
        unchanged = unchanged && program_file_unchanged(&stream, seen, false);
    }
    EXPECT_TRUE(unchanged);
    EXPECT_TRUE(program_file_unchanged(&stream, seen, true));
    EXPECT_EQ(records, 1001L * CHUNKS);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 8 * 1024);  // kilobytes
    std::fclose(f);
}

}  // namespace
