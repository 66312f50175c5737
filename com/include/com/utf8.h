// UTF-8 as the whole tree reads it: the one decoder for every place that
// needs the characters of a UTF-8 string (the limit of a path, the order of
// file names, terminal columns, console output, USB string descriptors).
#pragma once

#include <cstddef>
#include <string>

namespace com {
namespace utf8 {

// One character of a UTF-8 string, as decode_at finds it.
struct Character {
    // The code point; U+FFFD when the bytes are not a well-formed character.
    char32_t code_point = 0xFFFD;
    // Its bytes.  For bytes that are not well-formed: the lead byte and the
    // continuation bytes after it, at most as many as the lead announces.
    std::size_t length = 1;
    // Well-formed: the shortest form, no surrogate, at most U+10FFFF.
    bool valid = false;
    // The text ends before the sequence its lead byte announces is complete.
    bool truncated = false;
};

// The character that starts at byte `at` of `text`; `at` < text.size().
Character decode_at(const std::string& text, std::size_t at);

// Appends `code_point` in UTF-16: a surrogate pair above U+FFFF.
void append_utf16(std::u16string& out, char32_t code_point);

}  // namespace utf8
}  // namespace com
