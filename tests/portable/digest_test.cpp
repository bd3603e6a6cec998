// Known SHA-256 digests through the digest seam, whichever library is behind
// it (libcrypto on POSIX, BCrypt on Windows).
#include <gtest/gtest.h>

#include <string>

#include "digest_pieces.h"

TEST(Sha256, KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(digest_in_pieces(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_in_pieces("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_in_pieces(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
