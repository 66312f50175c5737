#include "com/sha256.h"

#include "platform/platform.h"

namespace com {

Sha256::Sha256() : hash(platform::sha256_begin()) {}

Sha256::~Sha256()
{
    platform::sha256_free(hash);
}

bool Sha256::add(const void* data, std::size_t length)
{
    if (!hash)
        return false;
    if (platform::sha256_add(hash, data, length))
        return true;
    platform::sha256_free(hash);
    hash = nullptr;
    return false;
}

bool Sha256::finish(Sha256Digest* digest)
{
    if (!hash)
        return false;
    const bool done = platform::sha256_finish(hash, digest->data());
    platform::sha256_free(hash);
    hash = nullptr;
    return done;
}

std::string sha256_hex(const Sha256Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

bool sha256_from_hex(const std::string& text, Sha256Digest* digest)
{
    if (text.size() != digest->size() * 2)
        return false;
    const auto value = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < digest->size(); ++i) {
        const int high = value(text[2 * i]);
        const int low = value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        (*digest)[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace com
