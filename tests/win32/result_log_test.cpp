// The result log's Windows file: shared and append-only. Run under Wine.
// (The BCrypt digest runs through the portable digest tests.)
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "device_names.h"
#include "result_file.h"
#include "system.h"

namespace {

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
    system_error_text(result_file_last_error(), reason, sizeof reason);
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
