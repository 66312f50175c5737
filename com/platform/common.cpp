// Parts of the platform layer that are the same on every system.
#include "platform.h"

#include "com/utf8.h"

namespace com {
namespace platform {

long utf16_units(const std::string& utf8)
{
    long units = 0;
    for (std::size_t at = 0; at < utf8.size();) {
        const com::utf8::Character c = com::utf8::decode_at(utf8, at);
        if (!c.valid)
            return -1;
        units += c.code_point >= 0x10000 ? 2 : 1;
        at += c.length;
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
