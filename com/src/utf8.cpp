#include "com/utf8.h"

namespace com {
namespace utf8 {

Character decode_at(const std::string& text, std::size_t at)
{
    Character c;
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        c.code_point = lead;
        c.valid = true;
        return c;
    }
    const int extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 0;
    if (extra == 0)
        return c;  // a continuation byte, or a lead no sequence has
    char32_t value = lead & (0x3F >> extra);
    std::size_t i = at + 1;
    for (int k = 0; k < extra; ++k, ++i) {
        if (i >= text.size()) {
            c.length = i - at;
            c.truncated = true;
            return c;
        }
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) {
            c.length = i - at;
            return c;
        }
        value = (value << 6) | (next & 0x3F);
    }
    c.length = i - at;
    static const char32_t least[] = {0, 0x80, 0x800, 0x10000};
    if (value < least[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return c;  // an overlong form, a surrogate, or past the last code point
    c.code_point = value;
    c.valid = true;
    return c;
}

void append_utf16(std::u16string& out, char32_t code_point)
{
    if (code_point < 0x10000) {
        out.push_back(static_cast<char16_t>(code_point));
        return;
    }
    code_point -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code_point & 0x3FF)));
}

}  // namespace utf8
}  // namespace com
