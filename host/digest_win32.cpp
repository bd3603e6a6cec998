// SHA-256 from Windows' own BCrypt (bcrypt.dll is part of the system). The
// hash object lives in the caller's state, not on BCrypt's heap.
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <new>

#include "digest.h"
#include "text.h"

namespace {

struct Win32Sha256 {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    alignas(16) unsigned char object[SHA256_STATE_BYTES - 64];
};
static_assert(sizeof(Win32Sha256) <= SHA256_STATE_BYTES);

constexpr ULONG DIGEST_BYTES = 32;

Win32Sha256* state_of(Sha256* sha) { return std::launder(reinterpret_cast<Win32Sha256*>(sha->state)); }

bool succeeded(NTSTATUS status) { return status >= 0; }

ULONG hash_object_size(BCRYPT_ALG_HANDLE algorithm) {
    DWORD size = 0;
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                                              sizeof size, &written, 0);
    return succeeded(status) && written == sizeof size ? size : 0;
}

void release(Win32Sha256* state) {
    if (state->hash != nullptr) BCryptDestroyHash(state->hash);
    if (state->algorithm != nullptr) BCryptCloseAlgorithmProvider(state->algorithm, 0);
    state->hash = nullptr;
    state->algorithm = nullptr;
}

}  // namespace

void sha256_begin(Sha256* sha) {
    Win32Sha256* state = new (sha->state) Win32Sha256{};
    sha->ok = succeeded(BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0));
    if (!sha->ok) {
        state->algorithm = nullptr;
        return;
    }
    const ULONG object_size = hash_object_size(state->algorithm);
    sha->ok = object_size != 0 && object_size <= sizeof state->object &&
              succeeded(BCryptCreateHash(state->algorithm, &state->hash, state->object, object_size, nullptr, 0, 0));
    if (!sha->ok) state->hash = nullptr;
}

void sha256_update(Sha256* sha, const void* data, size_t size) {
    Win32Sha256* state = state_of(sha);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (sha->ok && size > 0) {
        // BCryptHashData counts in ULONG.
        const ULONG piece = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        sha->ok = succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
}

bool sha256_finish(Sha256* sha, char hex[SHA256_HEX_SIZE]) {
    Win32Sha256* state = state_of(sha);
    unsigned char digest[DIGEST_BYTES];
    const bool done = sha->ok && succeeded(BCryptFinishHash(state->hash, digest, DIGEST_BYTES, 0));
    release(state);
    sha->ok = false;
    hex[0] = '\0';
    if (done) format_hex(digest, DIGEST_BYTES, hex);
    return done;
}
