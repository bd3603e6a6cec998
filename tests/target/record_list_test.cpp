// Splitting a program record file into the records the tool must send.
#include <gtest/gtest.h>

#include "record_list.h"
#include "testbed.h"

using sim::Bytes;
using sim::records_from_file_bytes;

namespace {
Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
}  // namespace

TEST(RecordList, FramingFollowsTheFileReader) {
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> records;
    };
    const Case cases[] = {
        {"S record then E", std::string("S\x03\x10\x20\x30") + "E", {std::string("S\x03\x10\x20\x30"), "E"}},
        {"text and line ends are skipped", "hello\r\nS\x01" "a\r\nseE\n", {"S\x01" "a", "E"}},
        {"data bytes S and E are data", "S\x02SE", {"S\x02SE"}},
        {"count 0", std::string("S\0E", 3), {std::string("S\0", 2), "E"}},
        {"count 0 as the last bytes", std::string("ES\0", 3), {"E", std::string("S\0", 2)}},
        {"cut inside the data", "S\x01" "aS\x04" "ab", {"S\x01" "a"}},
        {"cut after the count", "ES\x02", {"E"}},
        {"cut after the type", "ES", {"E"}},
        {"records after E are read", "ES\x01x", {"E", "S\x01x"}},
        {"empty", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::RecordList list = records_from_file_bytes(B(c.file));
        std::vector<Bytes> want;
        for (const std::string& r : c.records) want.push_back(B(r));
        EXPECT_EQ(list.records, want);
        EXPECT_FALSE(list.has_oversize);
    }
}

TEST(RecordList, OversizeCountIsTakenBlindlyAndFlagged) {
    std::string file = "S\x80" + std::string(0x80, 'z') + "E";
    sim::RecordList list = records_from_file_bytes(B(file));
    ASSERT_EQ(list.records.size(), 2u);
    EXPECT_EQ(list.records[0].size(), 0x82u);
    EXPECT_TRUE(list.has_oversize);
}

TEST(RecordList, DigestTellsRecordListsApart) {
    auto digest = [](std::string s) { return records_from_file_bytes(B(s)).digest(); };
    EXPECT_EQ(digest("S\x01" "aE"), digest("xxS\x01" "a\r\nE"));  // skipped bytes do not count
    EXPECT_NE(digest("S\x01" "aE"), digest("S\x01" "bE"));
    EXPECT_NE(digest("S\x01" "aE"), digest("S\x01" "a"));
    EXPECT_EQ(digest("").size(), 16u);
    sim::RecordList list = records_from_file_bytes(B("S\x02" "abE"));
    EXPECT_EQ(list.byte_count(), 5u);
    EXPECT_EQ(list.digest(), sim::records_digest(list.records));
}

TEST(RecordList, ReadsFiles) {
    testbed::TempDir dir;
    std::string path = testbed::write_file(dir.file("prog.rec"), std::string("S\x01" "qE"));
    auto list = sim::records_from_file(path);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->records.size(), 2u);
    EXPECT_FALSE(sim::records_from_file(dir.file("missing")));
}
