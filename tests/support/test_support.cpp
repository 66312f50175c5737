#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testsupport {

namespace {
std::atomic<unsigned> counter{0};
}

TempDir::TempDir()
{
    const fs::path base = fs::temp_directory_path();
    for (;;) {
#ifdef _WIN32
        const unsigned long pid = GetCurrentProcessId();
#else
        const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
        fs::path candidate = base / ("zarvik-test-" + std::to_string(pid) + "-" + std::to_string(counter++));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempDir::utf8() const
{
    return to_utf8(path_);
}

std::string TempDir::utf8(const std::string& name) const
{
    return to_utf8(path_ / from_utf8(name));
}

std::string to_utf8(const fs::path& path)
{
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path from_utf8(const std::string& utf8)
{
    return fs::u8path(utf8);
}

void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + to_utf8(path));
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + to_utf8(path));
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string pattern_bytes(std::size_t size, std::uint32_t seed)
{
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1u;
    for (std::size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(x >> 24);
    }
    return bytes;
}

void set_last_write(const fs::path& path, std::uint64_t filetime)
{
#ifdef _WIN32
    const bool folder = fs::is_directory(path);
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open for time " + to_utf8(path));
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(filetime);
    ft.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
    const BOOL ok = SetFileTime(h, nullptr, nullptr, &ft);
    CloseHandle(h);
    if (!ok)
        throw std::runtime_error("cannot set time of " + to_utf8(path));
#else
    constexpr std::int64_t seconds_1601_to_1970 = 11644473600LL;
    const auto ticks = static_cast<std::int64_t>(filetime);
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ticks / 10000000 - seconds_1601_to_1970);
    times[1].tv_nsec = static_cast<long>(ticks % 10000000 * 100);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("cannot set time of " + to_utf8(path));
#endif
}

std::vector<std::string> log_files(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = to_utf8(entry.path().filename());
        if (name.rfind("libcom-", 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_stream(std::FILE* stream)
{
    std::fflush(stream);
    std::rewind(stream);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, n);
    return text;
}

#ifndef _WIN32
DiskFullAt::DiskFullAt(std::uint64_t bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    saved_limit = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

DiskFullAt::~DiskFullAt()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(saved_limit);
    setrlimit(RLIMIT_FSIZE, &limit);
}
#endif

}  // namespace testsupport
