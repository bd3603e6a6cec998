// The result log's parts: the SHA-256 seam, the shared append-only file, and
// the JSON line builder.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_names.h"
#include "digest.h"
#include "digest_pieces.h"
#include "json.h"
#include "clock.h"
#include "restore.h"
#include "result_file.h"
#include "run_record.h"
#include "testbed.h"
#include "system.h"

namespace {

// ---- SHA-256 ----

TEST(Sha256, SameDigestAsSha256sum) {
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    testbed::TempDir dir;
    const std::string path = testbed::write_file(dir.file("image.bin"), data);
    const std::string printed = testbed::sha256sum_of(path);
    ASSERT_EQ(printed.size(), SHA256_HEX_SIZE - 1);
    EXPECT_EQ(digest_in_pieces(data), printed);
}

// ---- result file ----

constexpr int WRITERS = 4;
constexpr int LINES_EACH = 2000;

std::string writer_line(int writer, int index) {
    char head[32];
    std::snprintf(head, sizeof head, "writer %d line %04d ", writer, index);
    return head + std::string(280, static_cast<char>('a' + writer)) + "\n";
}

// Each writer opens the file itself, as separate fwld runs do, and all of
// them start when the pipe closes.
[[noreturn]] void append_lines(const std::string& path, int writer, int start_pipe) {
    char go;
    (void)!read(start_pipe, &go, 1);
    const intptr_t file = result_file_open(path.c_str());
    bool all = file != -1;
    for (int i = 0; all && i < LINES_EACH; ++i) {
        const std::string line = writer_line(writer, i);
        all = result_file_append(file, line.data(), line.size());
    }
    result_file_close(file);
    _exit(all ? 0 : 1);
}

TEST(ResultFile, WritersAtOnceLeaveWholeLines) {
    testbed::TempDir dir;
    const std::string path = dir.file("runs.jsonl");
    int start[2];
    ASSERT_EQ(pipe(start), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < WRITERS; ++w) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(start[1]);
            append_lines(path, w, start[0]);
        }
        writers.push_back(pid);
    }
    close(start[0]);
    close(start[1]);
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const testbed::Bytes bytes = testbed::read_file(path);
    const std::string text(bytes.begin(), bytes.end());
    std::set<std::string> seen;
    size_t start_of_line = 0;
    while (start_of_line < text.size()) {
        const size_t end = text.find('\n', start_of_line);
        ASSERT_NE(end, std::string::npos) << "the last line is cut";
        const std::string line = text.substr(start_of_line, end + 1 - start_of_line);
        int writer = -1;
        int index = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "writer %d line %d ", &writer, &index), 2) << line;
        ASSERT_EQ(line, writer_line(writer, index));
        EXPECT_TRUE(seen.insert(line).second) << line;
        start_of_line = end + 1;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(WRITERS * LINES_EACH));
}

// A full disk, as a file size limit makes it: the line that does not fit
// whole is taken back, and the file keeps the whole lines before it.
TEST(ResultFile, ALineTheDiskTakesInPartIsTakenBack) {
    testbed::TempDir dir;
    const std::string path = dir.file("results.jsonl");
    const std::string first = writer_line(0, 1), second = writer_line(1, 2);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{first.size() + 100, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &limit);
        const intptr_t file = result_file_open_sole(path.c_str());
        const bool ok = file != -1 && result_file_append_whole(file, first.data(), first.size()) &&
                        !result_file_append_whole(file, second.data(), second.size()) &&
                        !result_file_append_whole(file, second.data(), second.size());
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const testbed::Bytes bytes = testbed::read_file(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), first);
    // No disk behind a device: nothing to flush, and that is no failure.
    const intptr_t null = result_file_open("/dev/null");
    EXPECT_TRUE(result_file_sync(null));
    result_file_close(null);
}

TEST(ResultFile, AMissingDirectoryFailsWithTheSystemsReason) {
    testbed::TempDir dir;
    EXPECT_EQ(result_file_open(dir.file("missing/runs.jsonl").c_str()), -1);
    EXPECT_EQ(result_file_last_error(), ENOENT);
    char reason[128];
    system_error_text(result_file_last_error(), reason, sizeof reason);
    EXPECT_STREQ(reason, std::strerror(ENOENT));
}

// ---- JSON ----

// Text of any bytes: valid UTF-8 as it is, every other byte as the
// character of its value, so the line is always JSON and loses nothing.
TEST(Json, TextOfAnyBytesKeepsEveryByte) {
    struct Case {
        std::string bytes;
        const char* json;
    };
    const Case cases[] = {
        {"say \"hi\" \\o/", R"(say \"hi\" \\o/)"},
        {std::string("\0\x01", 2), R"(\u0000\u0001)"},
        {"\n\r\t\b\f\x1b\x1f", R"(\n\r\t\b\f\u001b\u001f)"},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf"},
        {"a\x80z", "a\xc2\x80z"},                                   // lone continuation
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                           // overlong '/'
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},               // surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},   // above U+10FFFF
        {"\xe2\x82" "A", "\xc3\xa2\xc2\x82" "A"},                   // cut short by ASCII
        {"ok\xf0\x9f\x98", "ok\xc3\xb0\xc2\x9f\xc2\x98"},           // truncated at the end
        {"\xff", "\xc3\xbf"},
    };
    for (const Case& c : cases) {
        Json line;
        line["s"] = json_text(c.bytes.data(), c.bytes.size());
        const std::string text = json_line(line);
        EXPECT_EQ(text, std::string("{\"s\":\"") + c.json + "\"}\n");
        EXPECT_TRUE(testbed::is_json_line(text)) << text;
    }
    EXPECT_TRUE(json_text(nullptr).is_null());
}

TEST(Json, SecondsAndTimes) {
    Json line;
    line["s0"] = json_seconds(0);
    line["s1"] = json_seconds(1);
    line["s2"] = json_seconds(12345);
    line["s3"] = json_seconds(60000);
    line["epoch"] = json_utc_time(0);
    line["leap"] = json_utc_time(1709211909);
    line["leap2000"] = json_utc_time(951782400);
    line["wrap"] = json_utc_time(2147483647);
    EXPECT_EQ(json_line(line),
              "{\"s0\":0.0,\"s1\":0.001,\"s2\":12.345,\"s3\":60.0,"
              "\"epoch\":\"1970-01-01T00:00:00Z\",\"leap\":\"2024-02-29T13:05:09Z\","
              "\"leap2000\":\"2000-02-29T00:00:00Z\",\"wrap\":\"2038-01-19T03:14:07Z\"}\n");
}

}  // namespace

// ---- the ending signals' window ----

namespace {

int urgent_marker = -1;
void urgent_step() { (void)!write(urgent_marker, "u", 1); }
[[noreturn]] void ended_by(int signal) { _exit(64 + signal); }

// An ending signal is only noted: it wakes every wait and sleep at once, and
// the run's own end writes its record in normal code, one line. A second one
// puts the terminal back (the urgent steps) and ends the process at once.
TEST(EndingSignal, IsNotedWakesTheWaitsAndASecondEndsAtOnce) {
    testbed::TempDir dir;
    const std::string log = dir.file("runs.jsonl");
    const std::string marker = dir.file("urgent");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        restore_install(ended_by);
        urgent_marker = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        restore_register_urgent(urgent_step);
        raise(SIGTERM);
        if (!restore_ending_seen() || restore_ending_signal() != SIGTERM) _exit(1);
        const uint32_t before = clock_tick_ms();
        clock_sleep_ms(5000);
        if (clock_tick_ms() - before > 1000) _exit(2);
        RunSettings s{};
        s.loader_path = "l.bin";
        s.program_path = "p.hex";
        s.log_path = log.c_str();
        char refusal[256];
        if (!record_start(s, refusal, sizeof refusal)) _exit(3);
        record_end(run_ended(RUN_BROKEN), static_cast<int>(restore_ending_status()), nullptr);
        raise(SIGINT);
        _exit(4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 64 + SIGINT) << status;
    const testbed::Bytes bytes = testbed::read_file(log);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    auto line = testbed::json_members(text);
    EXPECT_EQ(line["outcome"], "\"signal\"") << text;
    EXPECT_EQ(line["exit"], std::to_string(128 + SIGTERM));
    EXPECT_EQ(line["message"], "\"Ended by SIGTERM\"");
    EXPECT_EQ(testbed::read_file(marker).size(), 1u);
}

}  // namespace
