#include "update/checksums.h"

#include <utility>

#include "com/sha256.h"

namespace update {

const char* const checksum_list_name = "SHA256SUMS";

namespace {

// Undoes the escapes of a name on a line that begins with a backslash.
bool unescape(const std::string& escaped, std::string* name)
{
    name->clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            *name += escaped[i];
            continue;
        }
        if (++i == escaped.size())
            return false;
        switch (escaped[i]) {
        case '\\':
            *name += '\\';
            break;
        case 'n':
            *name += '\n';
            break;
        case 'r':
            *name += '\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

// One line without its line end; false when it is not a checksum line.
bool parse_line(const std::string& line, ChecksumEntry* entry)
{
    const bool escaped = !line.empty() && line[0] == '\\';
    const std::size_t digits = escaped ? 1 : 0;  // where the hex digits begin
    constexpr std::size_t hex_digits = 64;
    const std::size_t blank = digits + hex_digits;
    com::Sha256Digest digest;
    if (line.size() < blank + 3 || !com::sha256_from_hex(line.substr(digits, hex_digits), &digest) ||
        line[blank] != ' ' || (line[blank + 1] != ' ' && line[blank + 1] != '*'))
        return false;
    std::string name = line.substr(blank + 2);
    if (!escaped)
        entry->name = std::move(name);
    else if (!unescape(name, &entry->name))
        return false;
    entry->sha256 = com::sha256_hex(digest);
    return !entry->name.empty();
}

// Where a listed name begins once a "./" before it is passed over.
std::size_t after_dot_slash(const std::string& name)
{
    return name.compare(0, 2, "./") == 0 ? 2 : 0;
}

// The first entry whose name, past its "./", is `name` from `from` on.
const ChecksumEntry* find_entry(const std::vector<ChecksumEntry>& entries, const std::string& name, std::size_t from)
{
    for (const ChecksumEntry& e : entries)
        if (e.name.compare(after_dot_slash(e.name), std::string::npos, name, from, std::string::npos) == 0)
            return &e;
    return nullptr;
}

}  // namespace

const ChecksumEntry* ChecksumList::find(const std::string& name) const
{
    return find_entry(entries, name, 0);
}

ChecksumList parse_checksum_list(const std::string& text)
{
    ChecksumList list;
    std::size_t number = 0;
    // A list saved by an editor that marks UTF-8 reads the same.
    const std::size_t first = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (std::size_t start = first; start < text.size();) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        ChecksumEntry entry;
        entry.line = number;
        if (!parse_line(line, &entry)) {
            list.problem =
                std::string(checksum_list_name) + " line " + std::to_string(number) + " is not a checksum line";
            return list;
        }
        const std::size_t name_start = after_dot_slash(entry.name);
        const ChecksumEntry* earlier = find_entry(list.entries, entry.name, name_start);
        if (earlier && earlier->sha256 != entry.sha256) {
            list.problem = std::string(checksum_list_name) + " line " + std::to_string(number) + " gives " +
                           entry.name.substr(name_start) + " another checksum than line " +
                           std::to_string(earlier->line);
            return list;
        }
        list.entries.push_back(std::move(entry));
    }
    return list;
}

}  // namespace update
