// The result log's Windows parts: SHA-256 from BCrypt and the shared
// append-only file. Run under Wine.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "digest.h"
#include "result_file.h"

namespace {

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
    EXPECT_EQ(digest_in_pieces(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_in_pieces("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_in_pieces(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

class ResultFile : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
        dir = std::string(temp) + "fwld-result-" + std::to_string(GetCurrentProcessId());
        // What a failed earlier run (with the same process id) left goes first.
        DeleteFileA(path().c_str());
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    }
    void TearDown() override {
        DeleteFileA(path().c_str());
        RemoveDirectoryA(dir.c_str());
    }
    std::string path() const { return dir + "\\runs.jsonl"; }

    std::string content() const {
        const HANDLE file = CreateFileA(path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        char bytes[256];
        DWORD got = 0;
        if (file == INVALID_HANDLE_VALUE) return "(missing)";
        ReadFile(file, bytes, sizeof bytes, &got, nullptr);
        CloseHandle(file);
        return std::string(bytes, got);
    }
};

bool append(intptr_t file, const std::string& line) { return result_file_append(file, line.data(), line.size()); }

// Two handles open at once, as two fwld runs have: each line lands at the
// end, none over another.
TEST_F(ResultFile, LinesFromTwoHandlesAndAReopenFollowEachOther) {
    const intptr_t first = result_file_open(path().c_str());
    const intptr_t second = result_file_open(path().c_str());
    ASSERT_NE(first, -1);
    ASSERT_NE(second, -1);
    EXPECT_TRUE(append(first, "one\n"));
    EXPECT_TRUE(append(second, "two\n"));
    EXPECT_TRUE(append(first, "three\n"));
    result_file_close(first);
    result_file_close(second);

    const intptr_t again = result_file_open(path().c_str());
    ASSERT_NE(again, -1);
    EXPECT_TRUE(append(again, "four\n"));
    result_file_close(again);
    EXPECT_EQ(content(), "one\ntwo\nthree\nfour\n");
}

TEST_F(ResultFile, AMissingDirectoryFailsWithTheSystemsReason) {
    EXPECT_EQ(result_file_open((dir + "\\missing\\runs.jsonl").c_str()), -1);
    EXPECT_EQ(result_file_last_error(), static_cast<long>(ERROR_PATH_NOT_FOUND));
    char reason[256] = "";
    result_file_error_text(result_file_last_error(), reason, sizeof reason);
    EXPECT_GT(std::strlen(reason), 4u);
    EXPECT_NE(reason[std::strlen(reason) - 1], '\n');
}

TEST(HostName, TheSystemNamesThisMachine) {
    char name[256];
    host_name(name, sizeof name);
    EXPECT_STRNE(name, "");
    EXPECT_STRNE(name, "unknown");
}

}  // namespace
