// SHA-256 from OpenSSL's libcrypto. Its EVP interface keeps the context on
// the heap: begin allocates it, finish frees it, and the caller's state holds
// only the pointer.
#include <openssl/evp.h>

#include <cstring>

#include "digest.h"
#include "text.h"

namespace {

EVP_MD_CTX* context_of(const Sha256* sha) {
    EVP_MD_CTX* context = nullptr;
    std::memcpy(&context, sha->state, sizeof context);
    return context;
}

void set_context(Sha256* sha, EVP_MD_CTX* context) { std::memcpy(sha->state, &context, sizeof context); }

}  // namespace

void sha256_begin(Sha256* sha) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    sha->ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    set_context(sha, context);
}

void sha256_update(Sha256* sha, const void* data, size_t size) {
    if (!sha->ok || size == 0) return;
    sha->ok = EVP_DigestUpdate(context_of(sha), data, size) == 1;
}

bool sha256_finish(Sha256* sha, char hex[SHA256_HEX_SIZE]) {
    EVP_MD_CTX* context = context_of(sha);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool done = sha->ok && EVP_DigestFinal_ex(context, digest, &size) == 1 && size * 2 + 1 == SHA256_HEX_SIZE;
    EVP_MD_CTX_free(context);  // takes nullptr
    set_context(sha, nullptr);
    sha->ok = false;
    hex[0] = '\0';
    if (done) format_hex(digest, size, hex);
    return done;
}
