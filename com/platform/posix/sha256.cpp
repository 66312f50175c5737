// POSIX side of the platform layer: SHA-256 from libcrypto's digest interface,
// which picks the processor's own SHA instructions where there are any.
#include "../platform.h"

#include <openssl/evp.h>

namespace com {
namespace platform {

namespace {

// The algorithm is looked up once: a lookup per hash would cost more than
// hashing a small file.
const EVP_MD* sha256_algorithm()
{
    static EVP_MD* const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm;
}

EVP_MD_CTX* context(Sha256Handle hash)
{
    return static_cast<EVP_MD_CTX*>(hash);
}

}  // namespace

Sha256Handle sha256_begin()
{
    const EVP_MD* algorithm = sha256_algorithm();
    if (!algorithm)
        return nullptr;
    EVP_MD_CTX* hash = EVP_MD_CTX_new();
    if (hash && EVP_DigestInit_ex(hash, algorithm, nullptr) != 1) {
        EVP_MD_CTX_free(hash);
        hash = nullptr;
    }
    return hash;
}

bool sha256_add(Sha256Handle hash, const void* data, std::size_t length)
{
    return hash && (length == 0 || EVP_DigestUpdate(context(hash), data, length) == 1);
}

bool sha256_finish(Sha256Handle hash, std::uint8_t* digest)
{
    unsigned int length = 0;
    return hash && EVP_DigestFinal_ex(context(hash), digest, &length) == 1 && length == sha256_bytes;
}

void sha256_free(Sha256Handle hash)
{
    EVP_MD_CTX_free(context(hash));
}

}  // namespace platform
}  // namespace com
