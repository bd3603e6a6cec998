// Feeds the SHA-256 seam in pieces of odd sizes, so the library's block
// boundaries fall inside them. Shared by the POSIX and Win32 test binaries.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "digest.h"

inline std::string digest_in_pieces(const std::string& data) {
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
