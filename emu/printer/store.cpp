#include "store.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "control.h"

namespace emu {

namespace {

std::string file_name_for(const std::string& path)
{
    std::string out;
    for (char c : path) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-') {
            out += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            out += hex;
        }
    }
    if (out.empty() || out == "." || out == "..")
        out = "%" + out;
    return out;
}

bool make_folder(const std::string& dir, std::string* error)
{
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);
    if (failure)
        *error = "cannot make " + dir + ": " + failure.message();
    return !failure;
}

}  // namespace

bool write_store(const std::string& dir, const std::vector<std::pair<int, const Printer*>>& printers,
                 std::string* error)
{
    if (!make_folder(dir, error))
        return false;
    std::ofstream summary(dir + "/summary.txt", std::ios::binary | std::ios::trunc);  // LF line ends everywhere
    for (const auto& [id, printer] : printers) {
        const std::string folder = "printer-" + std::to_string(id);
        if (printer->files().empty())
            continue;
        if (!make_folder(dir + "/" + folder, error))
            return false;
        for (const auto& entry : printer->files()) {
            const std::string& path = entry.first;
            const StoredFile& file = entry.second;
            const std::string name = folder + "/" + file_name_for(path);
            std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(file.data.data()), static_cast<std::streamsize>(file.data.size()));
            if (!out) {
                *error = "cannot write " + dir + "/" + name;
                return false;
            }
            const auto& installs = printer->installs();
            const bool installed =
                std::any_of(installs.begin(), installs.end(), [&](const Install& i) { return i.path == path; });
            summary << "printer=" << id << " path=" << control::escape(path) << " size=" << file.data.size()
                    << " announced=" << file.announced << " complete=" << (file.complete ? 1 : 0)
                    << " installed=" << (installed ? 1 : 0) << " file=" << name << "\n";
        }
    }
    summary.flush();
    if (!summary) {
        *error = "cannot write " + dir + "/summary.txt";
        return false;
    }
    return true;
}

bool write_store(const std::string& dir, const std::vector<std::shared_ptr<Printer>>& printers, std::string* error)
{
    std::vector<std::pair<int, const Printer*>> numbered;
    for (std::size_t n = 0; n < printers.size(); ++n)
        numbered.emplace_back(static_cast<int>(n + 1), printers[n].get());
    return write_store(dir, numbered, error);
}

}  // namespace emu
