// The traffic trace: line format, bursts, events, and when lines reach the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testbed.h"
#include "trace.h"

namespace {

uint32_t fake_now = 0;
uint32_t fake_clock() { return fake_now; }

std::string file_text(const std::string& path) {
    const testbed::Bytes bytes = testbed::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// The lines after the header, without their line feeds.
std::vector<std::string> body_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (!lines.empty() && lines.front().rfind("# fwld traffic trace", 0) == 0) lines.erase(lines.begin());
    return lines;
}

class Trace : public ::testing::Test {
protected:
    testbed::TempDir dir;
    std::string path = dir.file("trace.log");

    void SetUp() override {
        fake_now = 4000000000u;  // close to the wrap: times are differences
        ASSERT_TRUE(trace_start(path.c_str(), fake_clock));
    }
    void TearDown() override { trace_stop(); }

    void send(const std::string& bytes) { trace_bytes(TRACE_SENT, bytes.data(), static_cast<uint32_t>(bytes.size())); }
    void receive(const std::string& bytes) {
        trace_bytes(TRACE_RECEIVED, bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    std::vector<std::string> stop_and_read() {
        trace_stop();
        return body_lines(file_text(path));
    }
};

TEST_F(Trace, OneLinePerBurstWithTimeDirectionHexAndText) {
    fake_now += 5;
    send("S\003ab");
    fake_now += 1;
    send("c");  // a second write before anything else happened: same burst
    fake_now += 300000000u;  // across the 32-bit wrap
    receive("H");
    receive("\xff\n");
    trace_idle();
    receive("G");
    const std::vector<std::string> lines = stop_and_read();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "        5 tx 53 03 61 62 63  |S.abc|");
    EXPECT_EQ(lines[1], "300000006 rx 48 ff 0a  |H..|");
    EXPECT_EQ(lines[2], "300000006 rx 47  |G|");
}

TEST_F(Trace, LongBurstsContinueOnTheNextLineAfter128Bytes) {
    std::string record(300, '\0');
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>('A' + i % 26);
    send(record);
    const std::vector<std::string> lines = stop_and_read();
    ASSERT_EQ(lines.size(), 3u);
    std::string text;
    for (const std::string& line : lines) {
        const size_t bar = line.find("  |");
        ASSERT_NE(bar, std::string::npos) << line;
        text += line.substr(bar + 3, line.size() - bar - 4);
    }
    EXPECT_EQ(text, record);
    EXPECT_EQ(lines[0].size(), 9 + 3 + 128 * 3 + 3 + 128 + 1u);
    EXPECT_EQ(lines[2].substr(0, 18), "        0 tx 57 58");  // bytes 256 and 257: "WX"
}

TEST_F(Trace, EventsEndTheBurstAndStayOnOneLine) {
    send("Loader");
    fake_now += 12;
    trace_event("open /dev/tty\r\nX\x7f");
    receive("H");
    const std::vector<std::string> lines = stop_and_read();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "        0 tx 4c 6f 61 64 65 72  |Loader|");
    EXPECT_EQ(lines[1], "       12 -- open /dev/tty??X?");
    EXPECT_EQ(lines[2], "       12 rx 48  |H|");
}

TEST_F(Trace, LinesReachTheFileWhenIdleAfterAPauseAndAtEveryEvent) {
    trace_event("open x");  // written at once
    EXPECT_EQ(body_lines(file_text(path)).size(), 1u);
    send("abc");
    trace_idle();
    fake_now += 10;
    trace_idle();  // too soon for another write
    EXPECT_EQ(body_lines(file_text(path)).size(), 1u);
    fake_now += 200;
    trace_idle();
    EXPECT_EQ(body_lines(file_text(path)).size(), 2u);
    receive("H");  // still buffered when the trace ends: written then
    EXPECT_EQ(stop_and_read().size(), 3u);
}

TEST_F(Trace, AFullBufferIsWrittenOutWithoutLosingAByte) {
    std::string sent;
    for (int i = 0; i < 700; ++i) {  // more than the 64 KiB buffer holds
        const std::string record(126, static_cast<char>(i));
        send(record);
        sent += record;
        receive("H");
    }
    std::string traced;
    for (const std::string& line : stop_and_read()) {
        if (line.compare(9, 3, " tx") != 0) continue;
        for (size_t at = 12; at + 3 <= line.find("  |"); at += 3) {
            traced += static_cast<char>(std::stoi(line.substr(at + 1, 2), nullptr, 16));
        }
    }
    EXPECT_EQ(traced, sent);
}

TEST(TraceFile, EachRunAppendsAfterItsOwnHeader) {
    testbed::TempDir dir;
    const std::string path = dir.file("t.log");
    for (int run = 0; run < 2; ++run) {
        ASSERT_TRUE(trace_start(path.c_str(), fake_clock));
        trace_event("open");
        trace_stop();
    }
    const std::string text = file_text(path);
    EXPECT_EQ(text.find("# fwld traffic trace"), 0u);
    EXPECT_NE(text.find("# fwld traffic trace", 1), std::string::npos);
    EXPECT_EQ(body_lines(text.substr(text.find("# fwld traffic trace", 1))).size(), 1u);
}

TEST(TraceFile, AFileThatDoesNotOpenLeavesTheTraceOff) {
    testbed::TempDir dir;
    EXPECT_FALSE(trace_start(dir.path().c_str(), fake_clock));  // a directory
    EXPECT_FALSE(trace_start(dir.file("no/such/dir/t.log").c_str(), fake_clock));
    EXPECT_FALSE(trace_active());
    trace_bytes(TRACE_SENT, "x", 1);  // harmless
    trace_event("open");
    trace_idle();
}

}  // namespace
