#include "history/process.h"

#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#endif

namespace history {

#ifdef _WIN32

namespace {

std::string utf8_of(const wchar_t* wide, int units)
{
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, wide, units, text.data(), bytes, nullptr, nullptr);
    return text;
}

}  // namespace

std::string host_name()
{
    wchar_t name[256];
    DWORD units = sizeof name / sizeof name[0];
    return ::GetComputerNameExW(ComputerNameDnsHostname, name, &units) ? utf8_of(name, static_cast<int>(units))
                                                                       : std::string();
}

std::string account_name()
{
    wchar_t name[257];
    DWORD units = sizeof name / sizeof name[0];
    return ::GetUserNameW(name, &units) && units > 0 ? utf8_of(name, static_cast<int>(units - 1)) : std::string();
}

std::int64_t this_process_id()
{
    return static_cast<std::int64_t>(::GetCurrentProcessId());
}

std::string process_identity(std::int64_t pid)
{
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return std::string();
    FILETIME created, exited, kernel, user;
    DWORD status = 0;
    std::string identity;
    if (::GetProcessTimes(process, &created, &exited, &kernel, &user) && ::GetExitCodeProcess(process, &status) &&
        status == STILL_ACTIVE)
        identity = "created " +
                   std::to_string((static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime);
    ::CloseHandle(process);
    return identity;
}

#else

std::string host_name()
{
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

std::string account_name()
{
    if (const passwd* user = ::getpwuid(::geteuid()); user && user->pw_name)
        return user->pw_name;
    return "uid " + std::to_string(::geteuid());
}

std::int64_t this_process_id()
{
    return static_cast<std::int64_t>(::getpid());
}

std::string process_identity(std::int64_t pid)
{
    // The boot, and the process's start time in clock ticks since it: field
    // 22 of /proc/PID/stat, after the name in parentheses (which may hold
    // blanks and parentheses itself).  The file is opened relative to /proc,
    // so that a process reads its own record exactly as another process
    // reads it: an emulator of the processor (qemu-user) hands a process
    // that opens "/proc/self/stat" or "/proc/PID/stat" of itself a record
    // of its own making, with another start time.
    if (pid <= 0)
        return std::string();
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return std::string();
    const int fd = ::openat(proc, (std::to_string(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    ::close(proc);
    if (fd < 0)
        return std::string();
    std::string line;
    char buffer[1024];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        line.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (const std::size_t end = line.find('\n'); end != std::string::npos)
        line.resize(end);
    const std::size_t name_end = line.rfind(')');
    if (name_end == std::string::npos)
        return std::string();
    std::istringstream fields(line.substr(name_end + 1));
    std::string field;
    for (int n = 3; n <= 22 && fields >> field; ++n) {
        if (n == 3 && field == "Z")
            return std::string();  // ended, not yet reaped: gone
        if (n == 22) {
            std::ifstream boot("/proc/sys/kernel/random/boot_id");
            std::string boot_id;
            std::getline(boot, boot_id);
            std::string id = "boot " + boot_id;
            id += " start ";
            id += field;
            return id;
        }
    }
    return std::string();
}

#endif

}  // namespace history
