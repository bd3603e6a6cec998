// The result log's Windows parts: SHA-256 from BCrypt. Run under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "digest.h"

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

}  // namespace
