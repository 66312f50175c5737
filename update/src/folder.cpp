#include "update/folder.h"

#include <algorithm>
#include <cstdint>

#include "com/utf8.h"
#include "update/local_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <clocale>
#include <cwctype>
#include <locale.h>
#include <wctype.h>
#endif

namespace update {

namespace {

// Decodes UTF-8; a byte that starts no well-formed character gives U+FFFD.
std::u32string decode(const std::string& text)
{
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const com::utf8::Character c = com::utf8::decode_at(text, i);
        out.push_back(c.code_point);
        i += c.valid ? c.length : 1;
    }
    return out;
}

#ifdef _WIN32
std::u16string lower_utf16(std::u16string text)
{
    if (!text.empty())
        ::CharLowerBuffW(reinterpret_cast<wchar_t*>(&text[0]), static_cast<DWORD>(text.size()));
    return text;
}
#else
// Unicode's simple lower-case mapping, from the C library's UTF-8 locale.
char32_t lower(char32_t c)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (c < 0x80 || !utf8)
        return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8));
}
#endif

}  // namespace

std::u16string folded_name(const std::string& utf8_name)
{
    std::u16string out;
    for (char32_t c : decode(utf8_name)) {
        // The one unconditional lower-case mapping to two characters, as Qt has it.
        if (c == 0x0130) {
            out.push_back(u'i');
            out.push_back(static_cast<char16_t>(0x0307));
            continue;
        }
#ifdef _WIN32
        com::utf8::append_utf16(out, c);
#else
        com::utf8::append_utf16(out, lower(c));
#endif
    }
#ifdef _WIN32
    out = lower_utf16(std::move(out));
#endif
    return out;
}

bool name_before(const std::string& a, const std::string& b)
{
    const std::u16string fa = folded_name(a);
    const std::u16string fb = folded_name(b);
    if (fa != fb)
        return fa < fb;
    return a < b;
}

std::vector<FolderEntry> list_firmware_folder(const std::string& utf8_dir, std::vector<LeftOut>* left_out)
{
    std::vector<FolderEntry> entries;
    if (left_out)
        left_out->clear();
    // One walk: every entry is either listed or left out with a reason.
    list_folder(utf8_dir, [&](const LocalEntry& e) {
        const char* reason = nullptr;
        if (e.kind == PathKind::missing)
            reason = "a link to nothing";  // listed in the folder, and leads nowhere
        else if (e.kind != PathKind::file)
            reason = "not a regular file";
        else if (e.hidden)
            reason = "a hidden file";
        if (!reason)
            entries.push_back(FolderEntry{e.path, e.name});
        else if (left_out)
            left_out->push_back(LeftOut{e.name, reason});
    });
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return name_before(a.name, b.name); });
    if (left_out)
        std::sort(left_out->begin(), left_out->end(),
                  [](const LeftOut& a, const LeftOut& b) { return name_before(a.name, b.name); });
    return entries;
}

}  // namespace update
