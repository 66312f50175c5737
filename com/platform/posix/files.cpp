// POSIX side of the platform layer: files, folder search, deletion, time conversion.
#include "../platform.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace com {
namespace platform {

namespace {

constexpr std::uint64_t ticks_per_second = 10000000ULL;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t epoch_1601_to_1970 = 11644473600LL;

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, int* year, int* month, int* day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
    *month = static_cast<int>(m);
    *day = static_cast<int>(d);
}

}  // namespace

char path_separator()
{
    return '/';
}

namespace {

FileHandle open_with(const std::string& utf8_path, int flags)
{
    if (!path_fits(utf8_path))
        return invalid_file;
    int fd;
    do {
        fd = ::open(utf8_path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return invalid_file;
    // A folder is not a file: the Windows side cannot open one either.
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return invalid_file;
    }
    // Opened for reading without waiting (a FIFO put in a file's place waits
    // for a writer for ever): a regular file only, then read as any file is.
    if ((flags & O_NONBLOCK) &&
        (!S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        ::close(fd);
        return invalid_file;
    }
    return fd;
}

}  // namespace

FileHandle file_open(const std::string& utf8_path, bool readable, bool writable)
{
    if (!readable && !writable)
        return invalid_file;
    int flags = O_CLOEXEC;
    if (readable && writable)
        flags |= O_RDWR | O_CREAT;
    else if (writable)
        flags |= O_WRONLY | O_CREAT;
    else
        flags |= O_RDONLY | O_NONBLOCK;
    return open_with(utf8_path, flags);
}

FileHandle file_open_append(const std::string& utf8_path)
{
    if (!path_fits(utf8_path))
        return invalid_file;
    // With O_APPEND each write() goes to the end as one piece.  O_NOFOLLOW
    // refuses a link at the name itself, O_NONBLOCK keeps a FIFO planted
    // there from holding the open until someone reads it.
    int fd;
    do {
        fd = ::open(utf8_path.c_str(), O_CLOEXEC | O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return invalid_file;
    // Only a plain file of ours with no other name: a hard link would let
    // whoever made it have these lines written into a file of their choice.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid() ||
        ::fcntl(fd, F_SETFL, O_APPEND) != 0) {
        ::close(fd);
        return invalid_file;
    }
    return fd;
}

bool file_read(FileHandle file, void* buffer, unsigned length, unsigned* count)
{
    ssize_t got;
    do {
        got = ::read(static_cast<int>(file), buffer, length);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return false;
    *count = static_cast<unsigned>(got);
    return true;
}

bool file_write(FileHandle file, const void* data, unsigned length, unsigned* count)
{
    ssize_t put;
    do {
        put = ::write(static_cast<int>(file), data, length);
    } while (put < 0 && errno == EINTR);
    if (put < 0)
        return false;
    *count = static_cast<unsigned>(put);
    return true;
}

std::int64_t file_size(FileHandle file)
{
    struct stat st;
    if (file == invalid_file || ::fstat(static_cast<int>(file), &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

void file_close(FileHandle file)
{
    if (file != invalid_file)
        ::close(static_cast<int>(file));
}

bool file_delete(const std::string& utf8_path)
{
    return path_fits(utf8_path) && ::unlink(utf8_path.c_str()) == 0;
}

bool find_entries(const std::string& utf8_dir, const std::string& pattern,
                  const std::function<void(const DirEntry&)>& visit)
{
    if (!path_fits(utf8_dir))
        return false;
    DIR* dir = ::opendir(utf8_dir.c_str());
    if (!dir)
        return false;
    const int dir_fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (!name_matches(pattern, entry->d_name))
            continue;
        struct stat st;
        if (::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        DirEntry found;
        found.name = entry->d_name;
        found.is_directory = S_ISDIR(st.st_mode);
        const std::int64_t seconds = static_cast<std::int64_t>(st.st_mtim.tv_sec) + epoch_1601_to_1970;
        found.last_write = seconds < 0 ? 0
                                       : static_cast<std::uint64_t>(seconds) * ticks_per_second +
                                             static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
        visit(found);
    }
    ::closedir(dir);
    return true;
}

std::uint64_t utc_to_filetime(const UtcTime& t)
{
    const std::int64_t days = days_from_civil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    const std::int64_t seconds =
        days * 86400 + std::int64_t{t.hour} * 3600 + std::int64_t{t.minute} * 60 + t.second + epoch_1601_to_1970;
    return static_cast<std::uint64_t>(seconds) * ticks_per_second +
           static_cast<std::uint64_t>(t.millisecond) * 10000ULL;
}

UtcTime filetime_to_utc(std::uint64_t filetime)
{
    const std::int64_t seconds = static_cast<std::int64_t>(filetime / ticks_per_second) - epoch_1601_to_1970;
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    UtcTime t;
    civil_from_days(days, &t.year, &t.month, &t.day);
    t.hour = static_cast<int>(rest / 3600);
    t.minute = static_cast<int>(rest / 60 % 60);
    t.second = static_cast<int>(rest % 60);
    t.millisecond = static_cast<int>(filetime % ticks_per_second / 10000);
    return t;
}

}  // namespace platform
}  // namespace com
