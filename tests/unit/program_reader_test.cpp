// Program record reader and the pre-flight check of a record file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "program_reader.h"

namespace {

FILE* file_with(const std::string& bytes) {
    FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    return f;
}

std::string record_text(const RecordSlot& slot) {
    return std::string(reinterpret_cast<const char*>(slot.bytes), static_cast<size_t>(slot.length));
}

TEST(ProgramReader, RecordsInOrderThenNoRecord) {
    FILE* f = file_with(std::string("S\x03\x10\x20\x30" "E", 6));
    RecordSlot slot{};
    ASSERT_EQ(read_program_record(&slot, f), RECORD);
    EXPECT_EQ(record_text(slot), std::string("S\x03\x10\x20\x30", 5));
    EXPECT_FALSE(std::feof(f));
    ASSERT_EQ(read_program_record(&slot, f), RECORD);
    EXPECT_EQ(record_text(slot), "E");
    EXPECT_FALSE(std::feof(f));
    EXPECT_EQ(read_program_record(&slot, f), NO_RECORD);
    EXPECT_TRUE(std::feof(f));
    std::fclose(f);
}

TEST(ProgramReader, SkipsTextBetweenRecordsButNotInsideThem) {
    FILE* f = file_with(std::string("se junk\r\nS\x02SE\r\nxS\x00\r\nE", 21));
    RecordSlot slot{};
    ASSERT_EQ(read_program_record(&slot, f), RECORD);
    EXPECT_EQ(record_text(slot), "S\x02SE");
    ASSERT_EQ(read_program_record(&slot, f), RECORD);
    EXPECT_EQ(record_text(slot), std::string("S\x00", 2));
    ASSERT_EQ(read_program_record(&slot, f), RECORD);
    EXPECT_EQ(record_text(slot), "E");
    EXPECT_EQ(read_program_record(&slot, f), NO_RECORD);
    std::fclose(f);
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
        FILE* f = file_with(c.file);
        RecordSlot slot{};
        slot.length = -1;
        EXPECT_EQ(read_program_record(&slot, f), c.result) << c.file;
        EXPECT_EQ(std::feof(f) != 0, c.eof) << c.file;
        EXPECT_EQ(slot.length, c.length) << c.file;
        std::fclose(f);
    }
}

TEST(ProgramReader, CountOverTheSlotIsRefusedWithoutOverrun) {
    std::string file = "S\x7f" + std::string(127, 'A');
    FILE* f = file_with(file);
    RecordSlot slots[2]{};
    std::memset(&slots[1], 0x5A, sizeof slots[1]);
    EXPECT_EQ(read_program_record(&slots[0], f), RECORD_TOO_LONG);
    EXPECT_EQ(slots[1].bytes[0], 0x5A);
    std::fclose(f);
}

std::string preflight(const std::string& bytes, bool* ok) {
    FILE* f = file_with(bytes);
    std::fgetc(f);  // the check must rewind whatever the position
    char message[128] = "";
    *ok = check_program_file(f, message, sizeof message);
    EXPECT_EQ(std::ftell(f), 0);
    EXPECT_FALSE(std::feof(f));
    std::fclose(f);
    return message;
}

TEST(ProgramPreflight, AcceptsWellFramedFiles) {
    bool ok = false;
    preflight(std::string("junk\r\nS\x03SEx\r\nS\x00\r\nE\r\n", 17), &ok);
    EXPECT_TRUE(ok);
    preflight("", &ok);
    EXPECT_TRUE(ok);
    preflight("S~" + std::string(126, 'S'), &ok);  // count 126 fills the slot exactly
    EXPECT_TRUE(ok);
}

TEST(ProgramPreflight, RefusesCutRecordsAndOverlongCountsNamingTheOffset) {
    struct Case {
        std::string file;
        const char* offset;
    };
    const Case cases[] = {
        {std::string("S\x01\x01\r\nS\x04\x01\x02", 9), "byte 5"},  // data cut short
        {"S\x01\x01" "E\r\nS", "byte 6"},                           // lone 'S' last
        {"abcS\x7f" + std::string(127, 'x'), "byte 3"},            // count 127
        {"S\xff" + std::string(255, 'x'), "byte 0"},
    };
    for (const Case& c : cases) {
        bool ok = true;
        const std::string message = preflight(c.file, &ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(message.rfind("Hex file", 0), 0u) << message;
        EXPECT_NE(message.find(c.offset), std::string::npos) << message;
    }
}

}  // namespace
