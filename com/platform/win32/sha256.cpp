// Win32 side of the platform layer: SHA-256 from the system's CNG (bcrypt),
// so that the Windows build needs no library of its own for it.
#include "../platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>  // before the headers that build on it

#include <bcrypt.h>

#include <algorithm>

namespace com {
namespace platform {

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

// The algorithm provider is opened once and kept for the process: opening it
// costs more than hashing a small file.  Safe from several threads.
BCRYPT_ALG_HANDLE sha256_algorithm()
{
    static const BCRYPT_ALG_HANDLE algorithm = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        if (!succeeded(::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            handle = nullptr;
        return handle;
    }();
    return algorithm;
}

BCRYPT_HASH_HANDLE handle_of(Sha256Handle hash)
{
    return static_cast<BCRYPT_HASH_HANDLE>(hash);
}

}  // namespace

Sha256Handle sha256_begin()
{
    const BCRYPT_ALG_HANDLE algorithm = sha256_algorithm();
    if (!algorithm)
        return nullptr;
    // The system keeps the hash object itself (no buffer of ours).
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return hash;
}

bool sha256_add(Sha256Handle hash, const void* data, std::size_t length)
{
    if (!hash)
        return false;
    // BCryptHashData takes a 32-bit count and a pointer it does not write through.
    auto* bytes = static_cast<UCHAR*>(const_cast<void*>(data));
    while (length > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<std::size_t>(length, 1u << 30));
        if (!succeeded(::BCryptHashData(handle_of(hash), bytes, piece, 0)))
            return false;
        bytes += piece;
        length -= piece;
    }
    return true;
}

bool sha256_finish(Sha256Handle hash, std::uint8_t* digest)
{
    return hash && succeeded(::BCryptFinishHash(handle_of(hash), digest, static_cast<ULONG>(sha256_bytes), 0));
}

void sha256_free(Sha256Handle hash)
{
    if (hash)
        ::BCryptDestroyHash(handle_of(hash));
}

}  // namespace platform
}  // namespace com
