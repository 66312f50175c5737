// A firmware folder's checksum list: the file SHA256SUMS in the format the
// common checksum tools write, one file a line:
//   <64 hex digits><blank><blank><name>    (read as text)
//   <64 hex digits><blank>*<name>          (read as binary; the same bytes here)
// A line that begins with a backslash has its name escaped: "\\" for a
// backslash, "\n" for a line end, "\r" for a carriage return.  Blank lines are
// allowed; a carriage return before a line end is taken as part of the line
// end, and a UTF-8 byte order mark at the start is passed over, so lists
// written on Windows read the same.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace update {

// The list's name in the firmware folder, exactly.
extern const char* const checksum_list_name;

// The largest list read; a folder's list is a few lines.
constexpr std::size_t max_checksum_list_bytes = 1 << 20;

struct ChecksumEntry {
    std::string name;      // as written, unescaped
    std::string sha256;    // lower-case hex
    std::size_t line = 0;  // 1 for the first line
};

struct ChecksumList {
    std::vector<ChecksumEntry> entries;
    // Why the list cannot be used, "" when it can: the first line that is
    // not a checksum line, or a name given twice with different checksums.
    std::string problem;

    // The entry for a file of the folder, by its own name ("./" before it
    // counts as nothing), or nullptr.
    const ChecksumEntry* find(const std::string& name) const;
};

// Reads a list's text.  Stops at the first problem.
ChecksumList parse_checksum_list(const std::string& text);

}  // namespace update
