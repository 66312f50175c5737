#include "update/local_path.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace update {

namespace fs = std::filesystem;

#ifdef _WIN32

std::wstring wide_of(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int size = static_cast<int>(utf8.size());
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring wide(units > 0 ? static_cast<std::size_t>(units) : 0, L'\0');
    if (units > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, &wide[0], units);
    return wide;
}

std::string utf8_of(const wchar_t* wide, std::size_t units)
{
    if (units == 0)
        return std::string();
    const int size = static_cast<int>(units);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, size, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide, size, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

std::string utf8_of(const wchar_t* wide)
{
    return wide ? utf8_of(wide, std::char_traits<wchar_t>::length(wide)) : std::string();
}

namespace {

bool starts_with(const std::wstring& text, const wchar_t* head)
{
    return text.compare(0, std::char_traits<wchar_t>::length(head), head) == 0;
}

// The absolute form of `path`, '/' made '\\' and "." and ".." resolved, as
// the system does it for the file API; empty when it cannot.
std::wstring full_path(const std::wstring& path)
{
    if (path.empty())
        return std::wstring();
    std::wstring full(path.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (length == 0)
            return std::wstring();
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);  // what it needs, terminator included
    }
}

// `path` as the file API takes it at any length: as it is below 248 units
// (the limit of a folder to be created; files have 260), beyond that its
// full form with the "\\?\" prefix.
std::wstring api_form(const std::wstring& path)
{
    if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\"))
        return path;
    const std::wstring full = full_path(path);
    if (full.size() < MAX_PATH - 12)
        return path;
    if (starts_with(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    return L"\\\\?\\" + full;
}

PathKind kind_of(const std::wstring& path)
{
    if (path.empty())
        return PathKind::missing;
    // No access asked for: only what the file is, links followed; the
    // backup flag lets folders be opened so.
    HANDLE handle = ::CreateFileW(api_form(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return PathKind::missing;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = ::GetFileInformationByHandle(handle, &info);
    const DWORD type = ::GetFileType(handle);
    ::CloseHandle(handle);
    if (!known || type != FILE_TYPE_DISK)
        return PathKind::other;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::folder : PathKind::file;
}

bool make_full(const std::wstring& full)
{
    if (kind_of(full) == PathKind::folder)
        return true;
    std::size_t end = full.size();
    while (end > 0 && full[end - 1] == L'\\')
        --end;
    const std::size_t cut = full.find_last_of(L'\\', end == 0 ? 0 : end - 1);
    if (cut != std::wstring::npos && cut > 0 && !make_full(full.substr(0, cut)))
        return false;
    return ::CreateDirectoryW(api_form(full).c_str(), nullptr) || kind_of(full) == PathKind::folder;
}

}  // namespace

fs::path path_of(const std::string& utf8)
{
    return fs::path(wide_of(utf8));
}

std::string utf8_of(const fs::path& path)
{
    return utf8_of(path.native().data(), path.native().size());
}

PathKind path_kind(const std::string& utf8)
{
    return kind_of(wide_of(utf8));
}

bool make_folders(const std::string& utf8)
{
    const std::wstring full = full_path(wide_of(utf8));
    return !full.empty() && make_full(full);
}

bool list_folder(const std::string& utf8_dir, const std::function<void(const LocalEntry&)>& visit)
{
    std::wstring pattern = api_form(wide_of(utf8_dir));
    if (pattern.empty())
        return false;
    if (pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    const char last = utf8_dir.back();
    const std::string folder = last == '\\' || last == '/' ? utf8_dir : utf8_dir + "\\";
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        LocalEntry entry;
        entry.name = utf8_of(name.data(), name.size());
        entry.path = folder + entry.name;
        entry.hidden = (data.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            entry.kind = path_kind(entry.path);  // a link: what it leads to
        else
            entry.kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::folder : PathKind::file;
        visit(entry);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return true;
}

#else

namespace {

PathKind kind_of(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status))
        return PathKind::folder;
    if (fs::is_regular_file(status))
        return PathKind::file;
    return fs::exists(status) ? PathKind::other : PathKind::missing;
}

}  // namespace

fs::path path_of(const std::string& utf8)
{
    return fs::path(utf8);
}

std::string utf8_of(const fs::path& path)
{
    return path.native();
}

PathKind path_kind(const std::string& utf8)
{
    return utf8.empty() ? PathKind::missing : kind_of(fs::path(utf8));
}

bool make_folders(const std::string& utf8)
{
    std::error_code error;
    if (!utf8.empty())
        fs::create_directories(fs::path(utf8), error);
    return path_kind(utf8) == PathKind::folder;
}

bool list_folder(const std::string& utf8_dir, const std::function<void(const LocalEntry&)>& visit)
{
    std::error_code error;
    fs::directory_iterator it(fs::path(utf8_dir), error);
    if (error)
        return false;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        LocalEntry entry;
        entry.name = it->path().filename().native();
        entry.path = it->path().native();
        entry.kind = kind_of(it->path());
        entry.hidden = !entry.name.empty() && entry.name[0] == '.';
        visit(entry);
    }
    return true;
}

#endif

std::string joined(const std::string& utf8_dir, const std::string& name)
{
#ifdef _WIN32
    const char separator = '\\';
    const bool ends_in_one = !utf8_dir.empty() && (utf8_dir.back() == '\\' || utf8_dir.back() == '/');
#else
    const char separator = '/';
    const bool ends_in_one = !utf8_dir.empty() && utf8_dir.back() == '/';
#endif
    return ends_in_one ? utf8_dir + name : utf8_dir + separator + name;
}

}  // namespace update
