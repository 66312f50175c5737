#include "update/plan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <vector>

#include "com/local_file.h"
#include "com/protocol.h"
#include "com/result.h"
#include "com/sha256.h"
#include "update/checksums.h"
#include "update/local_path.h"

namespace update {

const char* const main_image_name = "orbrey.bin";

std::int64_t Plan::total_bytes() const
{
    std::int64_t total = 0;
    for (const PlannedFile& f : files)
        total += std::max<std::int64_t>(f.size, 0);
    return total;
}

std::string suffix_of(const std::string& name)
{
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

Plan make_plan(const std::vector<FolderEntry>& listing)
{
    Plan plan;
    for (const FolderEntry& e : listing) {
        if (suffix_of(e.name) == "bin") {
            plan.files.push_back(PlannedFile{e.path, e.name, main_image_name, -1, std::string()});
            break;
        }
    }
    for (const FolderEntry& e : listing) {
        const std::string suffix = suffix_of(e.name);
        if (suffix == "xbf")
            plan.files.push_back(PlannedFile{e.path, e.name, e.name, -1, std::string()});
        else if (e.name == checksum_list_name)
            plan.left_out.push_back(LeftOut{e.name, "the checksum list, checked and never sent"});
        else if (suffix == "bin" && plan.files.front().local_path != e.path)  // the main image is first
            plan.left_out.push_back(LeftOut{e.name, "only the first .bin is installed"});
        else if (suffix != "bin")
            plan.left_out.push_back(LeftOut{e.name, "suffix is not exactly bin or xbf"});
    }
    return plan;
}

Plan plan_folder(const std::string& utf8_dir)
{
    std::vector<LeftOut> unlisted;
    Plan plan = make_plan(list_firmware_folder(utf8_dir, &unlisted));
    for (LeftOut& entry : unlisted)
        plan.left_out.push_back(std::move(entry));
    std::stable_sort(plan.left_out.begin(), plan.left_out.end(),
                     [](const LeftOut& a, const LeftOut& b) { return name_before(a.name, b.name); });
    return plan;
}

namespace {

namespace fs = std::filesystem;

constexpr unsigned hash_piece_bytes = 1 << 16;

// Reads the open file to its end, hashing it; "" or why it could not.
std::string hash_file(com::LocalFile& file, std::int64_t size, com::Sha256Digest* digest)
{
    std::vector<unsigned char> piece(hash_piece_bytes);
    com::Sha256 hash;
    std::int64_t total = 0;
    for (;;) {
        unsigned got = 0;
        if (!file.read(piece.data(), hash_piece_bytes, &got))
            return "cannot be read";
        if (got == 0)
            break;
        if (!hash.add(piece.data(), got))
            return "could not be hashed";
        total += got;
    }
    if (!hash.finish(digest))
        return "could not be hashed";
    if (total != size)
        return "changed while it was read";
    return std::string();
}

// Why a file cannot be sent, or "" when it can; sets `size`, `sha256` and `sha256_digest`.
std::string file_problem(PlannedFile& f)
{
    const PathKind kind = path_kind(f.local_path);
    if (kind == PathKind::missing)
        return "is missing";
    // Checked before it is opened: opening a pipe for reading would wait for a writer.
    if (kind != PathKind::file)
        return "is not a regular file";
    com::LocalFile file(f.local_path, true, false);
    if (!file.open())
        return "cannot be opened for reading";
    f.size = file.size();
    if (f.size < 0)
        return "has no size";
    if (f.size == 0)
        return "is empty";
    com::Sha256Digest digest{};
    std::string reason = hash_file(file, f.size, &digest);
    if (!reason.empty())
        return reason;
    f.sha256 = com::sha256_hex(digest);
    f.sha256_digest = digest;
    return std::string();
}

std::string name_problem(const std::string& name)
{
    if (name.empty())
        return "has no name";
    if (!com::protocol::safe_command_argument(name))
        return "has a control character in its name";
    if (name.size() > com::protocol::max_system_file_name_bytes)
        return "has a name of " + std::to_string(name.size()) + " bytes, longer than the printer takes (" +
               std::to_string(com::protocol::max_system_file_name_bytes) + ")";
    return std::string();
}

// A folder's checksum list as read: none, a problem, or its lines.
struct FolderList {
    bool present = false;
    std::string path;     // UTF-8
    std::string problem;  // why it cannot be used
    ChecksumList list;
};

FolderList read_folder_list(const std::string& folder)
{
    FolderList out;
    const std::string name = checksum_list_name;
    out.path = utf8_of(path_of(folder) / path_of(name));
    switch (path_kind(out.path)) {
    case PathKind::missing: {
        // No list, or a link to nothing by that name.
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(path_of(out.path), error)))
            return out;
        out.present = true;
        out.problem = name + " is a link to nothing";
        return out;
    }
    case PathKind::file:
        break;
    default:
        // Checked before it is opened: opening a pipe for reading would wait for a writer.
        out.present = true;
        out.problem = name + " is not a regular file";
        return out;
    }
    out.present = true;
    com::LocalFile file(out.path, true, false);
    const std::int64_t size = file.open() ? file.size() : -1;
    if (size < 0) {
        out.problem = name + " cannot be opened for reading";
        return out;
    }
    if (static_cast<std::uint64_t>(size) > max_checksum_list_bytes) {
        out.problem = name + " is larger than " + std::to_string(max_checksum_list_bytes >> 20) + " MiB";
        return out;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    unsigned got = 0;
    if (size > 0 && (!file.read(&text[0], static_cast<unsigned>(size), &got) || got != size)) {
        out.problem = name + " cannot be read";
        return out;
    }
    out.list = parse_checksum_list(text);
    out.problem = out.list.problem;
    return out;
}

// Why the file does not pass its folder's checksum list, or "".
std::string list_problem(const PlannedFile& f, const FolderList& folder)
{
    if (!folder.present)
        return std::string();
    if (!folder.problem.empty())
        return folder.problem;
    const ChecksumEntry* entry = folder.list.find(f.local_name);
    if (!entry)
        return std::string("not in ") + checksum_list_name;
    if (entry->sha256 != f.sha256)
        return "checksum mismatch: " + std::string(checksum_list_name) + " line " + std::to_string(entry->line) +
               " gives " + entry->sha256 + ", the file is " + f.sha256;
    return std::string();
}

}  // namespace

Problem check_plan(Plan& plan)
{
    plan.checksum_list.clear();
    // Each folder's list is read once, when a file of that folder needs it.
    std::map<std::string, FolderList> lists;
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        PlannedFile& f = plan.files[i];
        std::string reason = file_problem(f);
        if (!reason.empty())
            return Problem{com::COM_ERR_FILE, i, std::move(reason)};
        reason = name_problem(f.printer_name);
        if (!reason.empty())
            return Problem{com::COM_ERR_INVALID_ARGUMENTS, i, std::move(reason)};
        // file_problem has taken the path, so the system takes it here too.
        const std::string folder = utf8_of(path_of(f.local_path).parent_path());
        auto it = lists.find(folder);
        if (it == lists.end())
            it = lists.emplace(folder, read_folder_list(folder)).first;
        reason = list_problem(f, it->second);
        if (!reason.empty())
            return Problem{com::COM_ERR_FILE, i, std::move(reason)};
        if (it->second.present && plan.checksum_list.empty())
            plan.checksum_list = it->second.path;
    }
    return Problem{};
}

}  // namespace update
