// A firmware folder's listing, in the order the window's QDir listing has:
// files only, no hidden ones, sorted by name ignoring case.
#pragma once

#include <string>
#include <vector>

namespace update {

// One file of a listing.
struct FolderEntry {
    std::string path;  // UTF-8, as the upload opens it
    std::string name;  // UTF-8, the file's own name without its folder
};

// An entry of a firmware folder that is not installed, and why.
struct LeftOut {
    std::string name;    // UTF-8, the entry's own name
    std::string reason;  // in English, for the command line
};

// The regular files of `utf8_dir` (links are followed; folders, special
// files and broken links are left out), without hidden ones (names that
// begin with a dot; on Windows, files with the hidden attribute), sorted by
// name_before.  A missing or unreadable folder gives an empty list.
// `left_out`, when given, gets what the same walk of the folder leaves out,
// sorted by name_before: "a link to nothing", "not a regular file" (folders,
// pipes, devices, links to them), "a hidden file".
std::vector<FolderEntry> list_firmware_folder(const std::string& utf8_dir, std::vector<LeftOut>* left_out = nullptr);

// The listing's order: the names lower-cased character by character and
// compared as UTF-16, as Qt compares lower-cased QStrings; names that are
// equal so (only possible where case counts in names) by their bytes.
bool name_before(const std::string& a, const std::string& b);

// The name lower-cased and in UTF-16, the key name_before compares.  Bytes
// that are not UTF-8 count as U+FFFD each.
std::u16string folded_name(const std::string& utf8_name);

}  // namespace update
