// Helpers shared by the test executables: scratch folders, whole-file I/O,
// file ages, and the fixture that resets the emulated bus and the clock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& path() const { return path_; }
    // The folder (or a name in it) as the UTF-8 string the link library takes.
    std::string utf8() const;
    std::string utf8(const std::string& name) const;

private:
    fs::path path_;
};

std::string to_utf8(const fs::path& path);
fs::path from_utf8(const std::string& utf8);

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);
// Everything written to `stream` so far (a std::tmpfile, for instance), read from its start.
std::string read_stream(std::FILE* stream);
// `size` bytes that differ from file to file (a simple generator, fixed by `seed`).
std::string pattern_bytes(std::size_t size, std::uint32_t seed);

// Sets a file's (or folder's) last-write time, in 100 ns intervals since 1601.
void set_last_write(const fs::path& path, std::uint64_t filetime);

// The log files of a folder, by name.
std::vector<std::string> log_files(const fs::path& dir);

#ifndef _WIN32
// Lowers this process's file size limit while it lives: a write that would
// end past `bytes` fails in the platform layer (EFBIG), as on a full disk.
class DiskFullAt {
public:
    explicit DiskFullAt(std::uint64_t bytes);
    ~DiskFullAt();
    DiskFullAt(const DiskFullAt&) = delete;
    DiskFullAt& operator=(const DiskFullAt&) = delete;

private:
    std::uint64_t saved_limit = 0;
};
#endif

}  // namespace testsupport
