// Parts of the platform layer that are the same on every system.
#include "platform.h"

namespace com {
namespace platform {

long utf16_units(const std::string& utf8)
{
    long units = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* end = p + utf8.size();
    while (p < end) {
        const unsigned char lead = *p;
        int extra;
        std::uint32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            code = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            code = lead & 0x07u;
        } else {
            return -1;  // continuation byte or a lead that no valid sequence has
        }
        if (end - p <= extra)
            return -1;
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0u) != 0x80u)
                return -1;
            code = (code << 6) | (p[i] & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) ||
            (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return -1;
        units += code >= 0x10000 ? 2 : 1;
        p += extra + 1;
    }
    return units;
}

bool path_fits(const std::string& utf8)
{
    const long units = utf16_units(utf8);
    return units >= 0 && static_cast<unsigned long>(units) + 1 <= max_path_units;
}

namespace {

bool continuation(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u;
}

// Past the UTF-8 character that starts at `p`.
const char* next_character(const char* p)
{
    ++p;
    while (continuation(*p))
        ++p;
    return p;
}

}  // namespace

bool name_matches(const std::string& pattern_text, const std::string& name_text)
{
    const char* pattern = pattern_text.c_str();
    const char* name = name_text.c_str();
    // The last '*' seen, and where in the name its run would end next.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == '?') {
            ++pattern;
            name = next_character(name);
        } else if (*pattern == *name) {
            ++pattern;
            ++name;
        } else if (star) {
            // Let the last '*' take one more character and try again.
            pattern = star + 1;
            resume = next_character(resume);
            name = resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

}  // namespace platform
}  // namespace com
