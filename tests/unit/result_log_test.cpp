// The result log's parts: the SHA-256 seam.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "digest.h"
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

}  // namespace
