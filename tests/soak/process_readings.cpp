#include "process_readings.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace soak {

namespace {

namespace fs = std::filesystem;

std::string proc_dir(pid_t pid)
{
    return pid == 0 ? std::string("/proc/self") : "/proc/" + std::to_string(pid);
}

// A "Key:   123 kB" line of /proc/PID/status.
std::uint64_t status_kib(const std::string& status, const std::string& key)
{
    const std::size_t at = status.find("\n" + key + ":");
    if (at == std::string::npos)
        throw std::runtime_error("no " + key + " in the process status");
    return std::strtoull(status.c_str() + at + key.size() + 2, nullptr, 10);
}

}  // namespace

Reading read_process(pid_t pid)
{
    const std::string dir = proc_dir(pid);
    Reading r;
    DIR* fds = ::opendir((dir + "/fd").c_str());
    if (!fds)
        throw std::runtime_error("cannot list " + dir + "/fd");
    const int own = pid == 0 ? ::dirfd(fds) : -1;  // the listing's own descriptor
    while (const dirent* entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
            continue;
        char target[512];
        const ssize_t n = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (n >= 0)  // else closed meanwhile
            r.descriptors.push_back(std::string(entry->d_name) + " -> " +
                                    std::string(target, static_cast<std::size_t>(n)));
    }
    ::closedir(fds);
    std::sort(r.descriptors.begin(), r.descriptors.end());
    std::error_code error;
    for (const auto& task : fs::directory_iterator(dir + "/task", error))
        (void)task, ++r.threads;
    if (error)
        throw std::runtime_error("cannot list " + dir + "/task: " + error.message());

    std::ifstream in(dir + "/status");
    const std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (status.empty())
        throw std::runtime_error("cannot read " + dir + "/status");
    r.rss_kib = status_kib("\n" + status, "VmRSS");
    r.rss_peak_kib = status_kib("\n" + status, "VmHWM");
    return r;
}

std::vector<std::string> growth(const Reading& early, const Reading& late, const Margins& margins)
{
    std::vector<std::string> found;
    if (late.fds() > early.fds() + margins.fds) {
        std::string text = "descriptors grew from " + std::to_string(early.fds()) + " to " +
                           std::to_string(late.fds()) + " (margin " + std::to_string(margins.fds) + "); new:";
        for (const std::string& d : late.descriptors)
            if (!std::binary_search(early.descriptors.begin(), early.descriptors.end(), d))
                text += " [" + d + "]";
        found.push_back(text);
    }
    if (late.threads > early.threads + margins.threads)
        found.push_back("threads grew from " + std::to_string(early.threads) + " to " + std::to_string(late.threads) +
                        " (margin " + std::to_string(margins.threads) + ")");
    if (late.rss_kib > early.rss_kib + margins.rss_kib)
        found.push_back("resident memory grew from " + std::to_string(early.rss_kib) + " KiB to " +
                        std::to_string(late.rss_kib) + " KiB (margin " + std::to_string(margins.rss_kib) + " KiB)");
    return found;
}

std::string describe(const Reading& reading)
{
    char text[128];
    std::snprintf(text, sizeof text, "fds %zu, threads %d, rss %llu KiB (peak %llu KiB)", reading.fds(),
                  reading.threads, static_cast<unsigned long long>(reading.rss_kib),
                  static_cast<unsigned long long>(reading.rss_peak_kib));
    return text;
}

std::set<long> numbers(const std::string& list)
{
    std::set<long> out;
    std::istringstream items(list);
    std::string item;
    while (std::getline(items, item, ','))
        out.insert(std::atol(item.c_str()));
    return out;
}

}  // namespace soak
