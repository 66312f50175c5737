// SHA-256 of bytes and of files, from the system's own cryptography.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace com {

using Sha256Digest = std::array<std::uint8_t, 32>;

// One running hash: add bytes, then finish once.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // Adds bytes.  False when the system could not make or feed the hash;
    // every later call then fails too.
    bool add(const void* data, std::size_t length);
    // The digest of every byte added.  False when the system failed, or
    // when the hash has already been finished.
    bool finish(Sha256Digest* digest);

private:
    void* hash;  // the platform layer's handle; nullptr once finished or failed
};

// Lower-case hexadecimal, 64 characters.
std::string sha256_hex(const Sha256Digest& digest);

// Reads 64 hexadecimal digits, either case; false for anything else.
bool sha256_from_hex(const std::string& text, Sha256Digest* digest);

}  // namespace com
