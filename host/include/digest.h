// SHA-256 of a byte stream, for the result log's record of which image went
// out. The hash itself comes from the platform's crypto library; the caller
// owns the state, so nothing of ours lives on the heap.
#pragma once
#include <cstddef>

// Room for the platform's state: a context pointer on POSIX, the provider
// and hash handles and their hash object on Windows.
constexpr size_t SHA256_STATE_BYTES = 1024;
constexpr size_t SHA256_HEX_SIZE = 65;  // 64 digits and the terminating zero

struct Sha256 {
    alignas(16) unsigned char state[SHA256_STATE_BYTES];
    bool ok;  // false once the library has failed; finish then answers false
};

void sha256_begin(Sha256* sha);
void sha256_update(Sha256* sha, const void* data, size_t size);
// The digest in lower-case hex, as sha256sum prints it. Releases what begin
// took, also when it answers false (hex is then empty).
bool sha256_finish(Sha256* sha, char hex[SHA256_HEX_SIZE]);
