// Local folders and files by their UTF-8 paths, as the program hands paths
// around: what the firmware folder's listing, the plan's check and zarvik's
// log folder need of the file system, for paths of any length and in any
// script.
//
// Nothing goes through the C++ locale or the ANSI code page, and nothing
// throws.  On Windows UTF-8 is turned into UTF-16 and back by the system's
// UTF-8 conversion, where bytes that are not UTF-8 and unpaired UTF-16
// surrogates become U+FFFD (such a path then names no file); a path of 248
// units and more reaches the system in its absolute "\\?\" form, which lifts
// the 260-unit limit of the plain form.  Elsewhere the bytes are the path.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace update {

std::filesystem::path path_of(const std::string& utf8);
std::string utf8_of(const std::filesystem::path& path);

#ifdef _WIN32
// The system's conversions between UTF-8 and UTF-16, as paths use them; the
// console and the service names go through them too.
std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const wchar_t* wide, std::size_t units);
std::string utf8_of(const wchar_t* wide);  // up to its terminating zero
#endif

// `name` inside the folder `utf8_dir`, with the system's own separator ('\\'
// on Windows, '/' elsewhere) unless the folder already ends in one.
std::string joined(const std::string& utf8_dir, const std::string& name);

enum class PathKind { missing, folder, file, other };

// What `utf8` names, links followed: a folder, a regular file, something
// else (a device, a pipe, a broken link), or nothing that can be reached.
PathKind path_kind(const std::string& utf8);

// Makes the folder `utf8` and the folders above it that are missing; true
// when it exists afterwards.
bool make_folders(const std::string& utf8);

struct LocalEntry {
    std::string name;  // UTF-8, without the folder
    std::string path;  // UTF-8: the folder as given, a separator, the name
    PathKind kind = PathKind::other;
    bool hidden = false;  // begins with a dot; on Windows, has the hidden attribute
};

// Calls `visit` for every entry of the folder `utf8_dir` ("." and ".."
// left out), in the order the system lists them.  False when the folder
// cannot be read.
bool list_folder(const std::string& utf8_dir, const std::function<void(const LocalEntry&)>& visit);

}  // namespace update
