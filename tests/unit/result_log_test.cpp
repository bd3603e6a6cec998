// The result log's parts: the SHA-256 seam and the shared append-only file.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "digest.h"
#include "result_file.h"
#include "testbed.h"

namespace {

// ---- SHA-256 ----

const char* const EMPTY_DIGEST = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char* const ABC_DIGEST = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char* const MILLION_A_DIGEST = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

// Pieces of odd sizes, so the library's block boundaries fall inside them.
std::string digest_in_pieces(const std::string& data) {
    static const size_t sizes[] = {1, 3, 63, 65, 1021, 4099};
    Sha256 sha;
    sha256_begin(&sha);
    size_t done = 0;
    for (size_t k = 0; done < data.size(); ++k) {
        const size_t piece = std::min(sizes[k % 6], data.size() - done);
        sha256_update(&sha, data.data() + done, piece);
        done += piece;
    }
    char hex[SHA256_HEX_SIZE];
    EXPECT_TRUE(sha256_finish(&sha, hex));
    return hex;
}

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(digest_in_pieces(""), EMPTY_DIGEST);
    EXPECT_EQ(digest_in_pieces("abc"), ABC_DIGEST);
    EXPECT_EQ(digest_in_pieces(std::string(1000000, 'a')), MILLION_A_DIGEST);
}

TEST(Sha256, SameDigestAsSha256sum) {
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
    testbed::TempDir dir;
    const std::string path = testbed::write_file(dir.file("image.bin"), data);
    FILE* tool = popen(("sha256sum '" + path + "'").c_str(), "r");
    ASSERT_NE(tool, nullptr);
    char printed[SHA256_HEX_SIZE] = "";
    const size_t got = std::fread(printed, 1, SHA256_HEX_SIZE - 1, tool);
    ASSERT_EQ(pclose(tool), 0);
    ASSERT_EQ(got, SHA256_HEX_SIZE - 1);
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

TEST(ResultFile, AMissingDirectoryFailsWithTheSystemsReason) {
    testbed::TempDir dir;
    EXPECT_EQ(result_file_open(dir.file("missing/runs.jsonl").c_str()), -1);
    EXPECT_EQ(result_file_last_error(), ENOENT);
    char reason[128];
    result_file_error_text(result_file_last_error(), reason, sizeof reason);
    EXPECT_STREQ(reason, std::strerror(ENOENT));
}

}  // namespace
