#include "support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include <ftw.h>
#include <unistd.h>

namespace bench {

Spread spread(std::vector<double> values)
{
    if (values.empty())
        return Spread{};
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return Spread{median, values.front(), values.back()};
}

namespace {

double clock_seconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

}  // namespace

double wall_seconds()
{
    return clock_seconds(CLOCK_MONOTONIC);
}

double thread_cpu_seconds()
{
    return clock_seconds(CLOCK_THREAD_CPUTIME_ID);
}

double process_cpu_seconds()
{
    return clock_seconds(CLOCK_PROCESS_CPUTIME_ID);
}

double stat_cpu_seconds(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char text[1024];
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // The fields after the command name, which ends at the last ')': state
    // is field 3, utime and stime are fields 14 and 15.
    const char* rest = std::strrchr(text, ')');
    unsigned long long utime = 0, stime = 0;
    if (!rest || std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

ScratchFolder::ScratchFolder(const char* tag)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zarvik-bench-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a scratch folder from " + pattern);
    path_ = buffer.data();
}

ScratchFolder::~ScratchFolder()
{
    ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_firmware(const std::string& path, std::uint64_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot write " + path);
    std::vector<unsigned char> block(1 << 16);
    std::uint32_t x = 2463534242u;
    for (std::uint64_t done = 0; done < size;) {
        for (unsigned char& b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x >> 24);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        if (std::fwrite(block.data(), 1, n, f) != n) {
            std::fclose(f);
            throw std::runtime_error("cannot write " + path);
        }
        done += n;
    }
    if (std::fclose(f) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string format(const Spread& s, const char* format)
{
    char one[3][64];
    const double values[3] = {s.median, s.min, s.max};
    for (int i = 0; i < 3; ++i)
        std::snprintf(one[i], sizeof one[i], format, values[i]);
    return std::string(one[0]) + " [" + one[1] + ", " + one[2] + "]";
}

void report(const std::string& measure, const std::string& figure)
{
    std::printf("  %-56s %s\n", measure.c_str(), figure.c_str());
    std::fflush(stdout);
}

void heading(const std::string& text)
{
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

int count_option(int argc, char** argv, const char* name, int fallback)
{
    const std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) != 0)
            continue;
        char* end = nullptr;
        const long value = std::strtol(argv[i] + prefix.size(), &end, 10);
        if (*end != '\0' || value <= 0 || value > 100000)
            throw std::runtime_error(prefix + " takes a positive number");
        return static_cast<int>(value);
    }
    return fallback;
}

std::string text_option(int argc, char** argv, const char* name, const std::vector<std::string>& allowed,
                        const std::string& fallback)
{
    const std::string prefix = std::string("--") + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) != 0)
            continue;
        const std::string value = argv[i] + prefix.size();
        if (std::find(allowed.begin(), allowed.end(), value) == allowed.end())
            throw std::runtime_error(prefix + value + ": not a value it takes");
        return value;
    }
    return fallback;
}

void refuse_other_options(int argc, char** argv, const std::vector<std::string>& names)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool known = std::any_of(names.begin(), names.end(),
                                       [&](const std::string& name) { return arg.rfind("--" + name + "=", 0) == 0; });
        if (!known)
            throw std::runtime_error("unknown argument " + arg);
    }
}

}  // namespace bench
