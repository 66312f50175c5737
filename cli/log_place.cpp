#include "log_place.h"

#include "update/local_path.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>  // before the headers that build on it

#include <shlobj.h>
#else
#include <cstdlib>
#include <pwd.h>
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

std::string choose_log_dir(const LogPlaceFacts& facts)
{
    std::string beside = facts.program_dir + separator + "log";
    if (!in_system_tree(facts.program_dir) && facts.writable && facts.writable(beside))
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

std::string default_log_dir(const std::string& program_dir)
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
    if (const char* state = std::getenv("XDG_STATE_HOME"))
        facts.state_home = state;
    if (const char* home = std::getenv("HOME"); home && *home) {
        facts.home = home;
    } else if (const passwd* user = ::getpwuid(::geteuid())) {
        facts.home = user->pw_dir ? user->pw_dir : "";
    }
#endif
    return choose_log_dir(facts);
}

}  // namespace zarvik
