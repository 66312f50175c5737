#include "log_place.h"

#include "update/local_path.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#include <windows.h>  // before the headers that build on it

#include <shlobj.h>
#else
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zarvik {

namespace {

#ifdef _WIN32
constexpr char separator = '\\';

// Whether a file can be made in `dir`: tried, since the folder's access
// rules (Program Files for a user without administrator rights) are not
// told by its attributes.
bool can_write_in(const std::string& dir)
{
    if (!update::make_folders(dir))
        return false;
    const std::wstring probe =
        update::wide_of(dir) + L"\\zarvik-write-check-" + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    HANDLE file = ::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(file);
    return true;
}
#else
constexpr char separator = '/';

bool can_write_in(const std::string& dir)
{
    update::make_folders(dir);
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}
#endif

// True for a folder of the system's own tree on POSIX (/usr and below,
// /bin, /sbin, /lib...), where a program is installed by a package and
// where no user's log belongs.
bool in_system_tree(const std::string& dir)
{
#ifdef _WIN32
    (void)dir;
    return false;
#else
    for (const char* top : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32", "/etc", "/boot"}) {
        const std::size_t n = std::strlen(top);
        if (dir.compare(0, n, top) == 0 && (dir.size() == n || dir[n] == '/'))
            return true;
    }
    return false;
#endif
}

}  // namespace

bool root_alone_writes(const std::string& dir)
{
#ifdef _WIN32
    (void)dir;
    return false;
#else
    if (dir.empty() || dir[0] != '/')
        return false;
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    // The folders are judged by their names, from `dir` up: after a "." or
    // ".." the name cut at its last '/' would not be the parent.
    for (std::size_t from = 1; from < path.size();) {
        const std::size_t end = std::min(path.find('/', from), path.size());
        const std::string part = path.substr(from, end - from);
        if (part == "." || part == "..")
            return false;
        from = end + 1;
    }
    for (bool innermost = true;; innermost = false) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != 0)
            return false;
        // With access lists the group bits are the mask over every named
        // user and group, so a write granted to anyone else shows here too.
        const bool others_write = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        if (others_write && (innermost || (st.st_mode & S_ISVTX) == 0))
            return false;
        if (path == "/")
            return true;
        const std::size_t slash = path.find_last_of('/');
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
#endif
}

std::string choose_log_dir(const LogPlaceFacts& facts)
{
    std::string beside = facts.program_dir + separator + "log";
    // Root makes nothing in a folder that another account can write: the
    // program's folder is judged before the log folder is made in it.
    const auto safe_for_root = [&](const std::string& dir) {
        return !facts.root || (facts.root_alone && facts.root_alone(dir));
    };
    if (!in_system_tree(facts.program_dir) && safe_for_root(facts.program_dir) && facts.writable &&
        facts.writable(beside) && safe_for_root(beside))
        return beside;
#ifdef _WIN32
    if (!facts.local_app_data.empty())
        return facts.local_app_data + "\\zarvik\\log";
#else
    if (facts.root)
        return "/var/log/zarvik";
    // A relative $XDG_STATE_HOME is to be ignored, as an unset one is.
    if (!facts.state_home.empty() && facts.state_home[0] == '/')
        return facts.state_home + "/zarvik/log";
    if (!facts.home.empty())
        return facts.home + "/.local/state/zarvik/log";
#endif
    return beside;  // nowhere better: the link says it cannot open its log there
}

LogPlaceFacts log_place_facts(const std::string& program_dir)
{
    LogPlaceFacts facts;
    facts.program_dir = program_dir;
    facts.writable = can_write_in;
#ifdef _WIN32
    wchar_t* folder = nullptr;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)))
        facts.local_app_data = update::utf8_of(folder);
    ::CoTaskMemFree(folder);
#else
    facts.root = ::geteuid() == 0;
    facts.root_alone = root_alone_writes;
    if (const char* state = std::getenv("XDG_STATE_HOME"))
        facts.state_home = state;
    if (const char* home = std::getenv("HOME"); home && *home) {
        facts.home = home;
    } else if (const passwd* user = ::getpwuid(::geteuid())) {
        facts.home = user->pw_dir ? user->pw_dir : "";
    }
#endif
    return facts;
}

std::string default_log_dir(const std::string& program_dir)
{
    return choose_log_dir(log_place_facts(program_dir));
}

std::string choose_history_file(const LogPlaceFacts& facts)
{
    // Beside the program exactly when the log goes there: the portable
    // folder and the Windows zip keep all they make in one place.
    if (choose_log_dir(facts) == facts.program_dir + separator + "log")
        return facts.program_dir + separator + history_file_name;
#ifdef _WIN32
    if (!facts.local_app_data.empty())
        return facts.local_app_data + "\\zarvik\\" + history_file_name;
#else
    if (facts.root)
        return std::string("/var/lib/zarvik/") + history_file_name;
    if (!facts.state_home.empty() && facts.state_home[0] == '/')
        return facts.state_home + "/zarvik/" + history_file_name;
    if (!facts.home.empty())
        return facts.home + "/.local/state/zarvik/" + history_file_name;
#endif
    return facts.program_dir + separator + history_file_name;
}

std::string default_history_file(const std::string& program_dir)
{
    return choose_history_file(log_place_facts(program_dir));
}

}  // namespace zarvik
