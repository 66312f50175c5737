// What an update installs, in order, and the checks it passes before
// anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "com/protocol.h"
#include "com/sha256.h"
#include "update/folder.h"

namespace update {

// The name the main image gets on the printer, whatever its own.
extern const char* const main_image_name;

struct PlannedFile {
    std::string local_path;    // UTF-8
    std::string local_name;    // the file's own name
    std::string printer_name;  // stored in the printer's system folder under this name
    std::int64_t size = -1;    // bytes; set by check_plan
    std::string sha256;        // SHA-256 of the bytes, lower-case hex; set by check_plan
    // The same SHA-256 as bytes, which the upload checks against; set by check_plan.
    std::optional<com::Sha256Digest> sha256_digest{};
};

struct Plan {
    std::vector<PlannedFile> files;  // in the order they are installed
    // The folder's other entries, and why each is not installed.
    std::vector<LeftOut> left_out;
    // The checksum list the files were checked against (its path); "" when
    // their folder has none.  Set by check_plan.
    std::string checksum_list;

    bool empty() const { return files.empty(); }
    std::int64_t total_bytes() const;
};

// The text after the last dot of a name, "" when it has none.
std::string suffix_of(const std::string& name);

// The first file (in listing order) whose suffix is exactly "bin", as
// main_image_name; then every file whose suffix is exactly "xbf", under its
// own name, in listing order.  Other files are not part of the plan: they are
// its left_out, with the reason ("suffix is not exactly bin or xbf", "only
// the first .bin is installed", or for the checksum list "the checksum list,
// checked and never sent").
Plan make_plan(const std::vector<FolderEntry>& listing);

// The plan of a folder's listing (list_firmware_folder), with everything of
// the folder it leaves out, the entries the listing leaves out included, in
// name_before order.
Plan plan_folder(const std::string& utf8_dir);

// The first thing that keeps a planned file from being installed.
struct Problem {
    int code = 0;          // a result code; 0: none
    std::size_t file = 0;  // index into Plan::files
    std::string reason;    // in English, for the log and the command line
};

// Checks every planned file, in order, before anything is sent: a regular
// file, readable, not empty, and a name the printer can take (no control
// bytes, at most com::protocol::max_system_file_name_bytes).  Reads each file whole for its
// SHA-256.  When the file's folder holds a checksum list (checksum_list_name),
// the file must be listed there with that SHA-256, and the list must be a
// readable file of checksum lines.  Sets each size and SHA-256 it reaches.
// COM_ERR_FILE for a file that cannot be sent or does not match the list, or
// a list that cannot be used; COM_ERR_INVALID_ARGUMENTS for a name that
// cannot go to the printer.
Problem check_plan(Plan& plan);

}  // namespace update
