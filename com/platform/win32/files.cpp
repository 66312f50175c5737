// Win32 side of the platform layer: files, folder search, deletion, time conversion.
// UTF-8 paths meet the wide-character file API as UTF-16.  The API refuses
// plain paths of MAX_PATH units and more; those are handed over in their
// "\\?\" form, which reaches max_path_units and beyond.
#include "../platform.h"
#include "system_time.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace com {
namespace platform {

namespace {

bool starts_with(const std::wstring& text, const wchar_t* head)
{
    return text.compare(0, std::char_traits<wchar_t>::length(head), head) == 0;
}

// The whole UTF-8 string as UTF-16.  Refuses what the POSIX side refuses:
// malformed UTF-8 and paths past max_path_units, so that both sides take the
// same paths whatever the system's converter lets through.
bool to_wide(const std::string& utf8, std::wstring* wide)
{
    if (!path_fits(utf8))
        return false;
    wide->clear();
    if (utf8.empty())
        return true;
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    if (units <= 0)
        return false;
    wide->resize(static_cast<std::size_t>(units));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &(*wide)[0],
                               units) == units;
}

// `path` in the form the file API takes at any length.  A path whose absolute
// form stays below MAX_PATH is left alone.  A longer one is replaced by its
// absolute form, which the system normalises as the API does short paths ('/'
// becomes '\\', "." and ".." are resolved, a relative path starts at the
// current folder), with the "\\?\" prefix that lifts the limit and switches
// that normalisation off.
bool to_api_path(std::wstring* path)
{
    if (starts_with(*path, L"\\\\?\\") || starts_with(*path, L"\\\\.\\"))
        return true;
    std::wstring full(path->size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path->c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (length == 0)
            return false;
        if (length < full.size()) {
            full.resize(length);
            break;
        }
        full.resize(length);  // what it needs, terminator included
    }
    if (full.size() < MAX_PATH || starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\"))
        return true;
    if (starts_with(full, L"\\\\"))
        *path = L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    else
        *path = L"\\\\?\\" + full;
    return true;
}

// A UTF-8 path for the file API, see to_wide and to_api_path.
bool api_path(const std::string& utf8, std::wstring* path)
{
    return to_wide(utf8, path) && !path->empty() && to_api_path(path);
}

std::string to_utf8(const wchar_t* wide)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, &utf8[0], bytes, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(bytes) - 1);
    return utf8;
}

HANDLE as_handle(FileHandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

FileHandle open_with(const std::string& utf8_path, DWORD access, DWORD share, DWORD creation,
                     DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    std::wstring path;
    if (!api_path(utf8_path, &path))
        return invalid_file;
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return invalid_file;
    return reinterpret_cast<FileHandle>(handle);
}

// True for a file reached by itself: not a reparse point (a symbolic link, a
// junction, a mount point) and with no second name (a hard link).
bool plain_file_alone(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return false;
    const DWORD refused = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE;
    return (info.dwFileAttributes & refused) == 0 && info.nNumberOfLinks == 1;
}

}  // namespace

char path_separator()
{
    return '\\';
}

FileHandle file_open(const std::string& utf8_path, bool readable, bool writable)
{
    if (!readable && !writable)
        return invalid_file;
    DWORD access = 0;
    if (readable)
        access |= GENERIC_READ;
    if (writable)
        access |= GENERIC_WRITE;
    // Others may read the file meanwhile, but neither write nor delete it.
    const FileHandle file = open_with(utf8_path, access, FILE_SHARE_READ, writable ? OPEN_ALWAYS : OPEN_EXISTING);
    // Read only: a file on a disk, nothing that may keep its reader waiting
    // (a pipe, a device).
    if (file != invalid_file && !writable && GetFileType(as_handle(file)) != FILE_TYPE_DISK) {
        CloseHandle(as_handle(file));
        return invalid_file;
    }
    return file;
}

FileHandle file_open_append(const std::string& utf8_path)
{
    // Append access without FILE_WRITE_DATA: the system puts every write
    // at the end of the file as one piece, whoever else appends meanwhile.
    // Other appenders and readers are let in; deleting it is not.  A reparse
    // point at the name is opened as itself, never followed, and refused.
    const FileHandle file =
        open_with(utf8_path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (file != invalid_file && !plain_file_alone(as_handle(file))) {
        file_close(file);
        return invalid_file;
    }
    return file;
}

bool file_read(FileHandle file, void* buffer, unsigned length, unsigned* count)
{
    DWORD got = 0;
    if (!ReadFile(as_handle(file), buffer, length, &got, nullptr))
        return false;
    *count = got;
    return true;
}

bool file_write(FileHandle file, const void* data, unsigned length, unsigned* count)
{
    DWORD put = 0;
    if (!WriteFile(as_handle(file), data, length, &put, nullptr))
        return false;
    *count = put;
    return true;
}

std::int64_t file_size(FileHandle file)
{
    // invalid_file is also the value of GetCurrentProcess(): never hand it on.
    if (file == invalid_file)
        return -1;
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(as_handle(file), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return -1;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
}

void file_close(FileHandle file)
{
    if (file != invalid_file)
        CloseHandle(as_handle(file));
}

bool file_delete(const std::string& utf8_path)
{
    std::wstring path;
    return api_path(utf8_path, &path) && DeleteFileW(path.c_str()) != 0;
}

bool find_entries(const std::string& utf8_dir, const std::string& pattern,
                  const std::function<void(const DirEntry&)>& visit)
{
    // The folder's every entry, filtered here: the system's own matching
    // differs from name_matches.
    std::wstring search;
    if (!to_wide(utf8_dir, &search) || search.empty())
        return false;
    search += L"\\*";
    if (!to_api_path(&search))
        return false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(search.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;  // a folder without entries (a drive's root)
    do {
        DirEntry entry;
        entry.name = to_utf8(data.cFileName);
        if (!name_matches(pattern, entry.name))
            continue;
        entry.is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.last_write = (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                           data.ftLastWriteTime.dwLowDateTime;
        visit(entry);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

std::uint64_t utc_to_filetime(const UtcTime& t)
{
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(t.year);
    st.wMonth = static_cast<WORD>(t.month);
    st.wDay = static_cast<WORD>(t.day);
    st.wHour = static_cast<WORD>(t.hour);
    st.wMinute = static_cast<WORD>(t.minute);
    st.wSecond = static_cast<WORD>(t.second);
    st.wMilliseconds = static_cast<WORD>(t.millisecond);
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft))
        return 0;
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

UtcTime filetime_to_utc(std::uint64_t filetime)
{
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(filetime);
    ft.dwHighDateTime = static_cast<DWORD>(filetime >> 32);
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(&ft, &st))
        return UtcTime();
    return from_system_time(st);
}

}  // namespace platform
}  // namespace com
