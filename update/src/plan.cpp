#include "update/plan.h"

#include <algorithm>

#include "com/local_file.h"
#include "com/result.h"
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
            plan.files.push_back(PlannedFile{e.path, e.name, main_image_name, -1});
            break;
        }
    }
    for (const FolderEntry& e : listing) {
        if (suffix_of(e.name) == "xbf")
            plan.files.push_back(PlannedFile{e.path, e.name, e.name, -1});
    }
    return plan;
}

namespace {

// Why a file cannot be sent, or "" when it can; sets `size`.
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
    return std::string();
}

std::string name_problem(const std::string& name)
{
    if (name.empty())
        return "has no name";
    if (std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        }))
        return "has a control character in its name";
    if (name.size() > max_printer_name_bytes)
        return "has a name of " + std::to_string(name.size()) + " bytes, longer than the printer takes (" +
               std::to_string(max_printer_name_bytes) + ")";
    return std::string();
}

}  // namespace

Problem check_plan(Plan& plan)
{
    for (std::size_t i = 0; i < plan.files.size(); ++i) {
        PlannedFile& f = plan.files[i];
        std::string reason = file_problem(f);
        if (!reason.empty())
            return Problem{com::COM_ERR_FILE, i, std::move(reason)};
        reason = name_problem(f.printer_name);
        if (!reason.empty())
            return Problem{com::COM_ERR_INVALID_ARGUMENTS, i, std::move(reason)};
    }
    return Problem{};
}

}  // namespace update
