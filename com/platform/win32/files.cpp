// Win32 side of the platform layer: files, folder search, deletion, time conversion.
// UTF-8 paths meet the wide-character file API through buffers of
// max_path_units UTF-16 units.
#include "../platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace com {
namespace platform {

namespace {

// Converts a whole UTF-8 string, terminating zero included, into `wide`.
// Malformed UTF-8 is refused rather than opened under a substituted name.
bool to_wide(const std::string& utf8, wchar_t (&wide)[max_path_units])
{
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.c_str(), -1, wide,
                               static_cast<int>(max_path_units)) != 0;
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

}  // namespace

char path_separator()
{
    return '\\';
}

FileHandle file_open(const std::string& utf8_path, bool readable, bool writable)
{
    if (!readable && !writable)
        return invalid_file;
    wchar_t wide[max_path_units];
    if (!to_wide(utf8_path, wide))
        return invalid_file;
    DWORD access = 0;
    if (readable)
        access |= GENERIC_READ;
    if (writable)
        access |= GENERIC_WRITE;
    const DWORD creation = writable ? OPEN_ALWAYS : OPEN_EXISTING;
    HANDLE handle = CreateFileW(wide, access, FILE_SHARE_READ, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return invalid_file;
    return reinterpret_cast<FileHandle>(handle);
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

bool file_seek_end(FileHandle file)
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return SetFilePointerEx(as_handle(file), zero, nullptr, FILE_END) != 0;
}

std::int64_t file_size(FileHandle file)
{
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
    wchar_t wide[max_path_units];
    return to_wide(utf8_path, wide) && DeleteFileW(wide) != 0;
}

bool find_entries(const std::string& utf8_dir, const std::string& pattern,
                  const std::function<void(const DirEntry&)>& visit)
{
    wchar_t wide_dir[max_path_units];
    wchar_t wide_pattern[max_path_units];
    if (!to_wide(utf8_dir, wide_dir) || !to_wide(pattern, wide_pattern))
        return false;
    // The search string is built apart from the folder's buffer, so a folder
    // that fills its buffer cannot overrun it.
    std::wstring search(wide_dir);
    search += L'\\';
    search += wide_pattern;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(search.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        DirEntry entry;
        entry.name = to_utf8(data.cFileName);
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
    UtcTime t;
    if (!FileTimeToSystemTime(&ft, &st))
        return t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

}  // namespace platform
}  // namespace com
