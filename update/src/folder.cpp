#include "update/folder.h"

#include <algorithm>
#include <cstdint>

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

// Decodes UTF-8; a byte that starts no well-formed sequence gives U+FFFD.
std::u32string decode(const std::string& text)
{
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
        char32_t c = extra == 0 ? lead : extra == 1 ? lead & 0x1F : extra == 2 ? lead & 0x0F : lead & 0x07;
        bool good = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
        for (int k = 1; good && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            good = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        static const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (good && (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
            good = false;
        if (!good) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(c);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

void append_utf16(std::u16string& out, char32_t c)
{
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
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
        append_utf16(out, c);
#else
        append_utf16(out, lower(c));
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

namespace {

// Walks the folder once: every entry is either listed or left out with a reason.
void walk_folder(const std::string& utf8_dir, std::vector<FolderEntry>* listed, std::vector<LeftOut>* left_out)
{
    list_folder(utf8_dir, [&](const LocalEntry& e) {
        const char* reason = nullptr;
        if (e.kind == PathKind::missing)
            reason = "a link to nothing";  // listed in the folder, and leads nowhere
        else if (e.kind != PathKind::file)
            reason = "not a regular file";
        else if (e.hidden)
            reason = "a hidden file";
        if (!reason)
            listed->push_back(FolderEntry{e.path, e.name});
        else if (left_out)
            left_out->push_back(LeftOut{e.name, reason});
    });
}

}  // namespace

std::vector<FolderEntry> list_firmware_folder(const std::string& utf8_dir)
{
    std::vector<FolderEntry> entries;
    walk_folder(utf8_dir, &entries, nullptr);
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return name_before(a.name, b.name); });
    return entries;
}

std::vector<LeftOut> unlisted_entries(const std::string& utf8_dir)
{
    std::vector<FolderEntry> listed;
    std::vector<LeftOut> left_out;
    walk_folder(utf8_dir, &listed, &left_out);
    std::sort(left_out.begin(), left_out.end(),
              [](const LeftOut& a, const LeftOut& b) { return name_before(a.name, b.name); });
    return left_out;
}

}  // namespace update
