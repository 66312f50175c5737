// Shared by the benchmarks: the median of repeated measurements with the
// smallest and the largest, and CPU times read from /proc.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace bench {

struct Spread {
    double median = 0, min = 0, max = 0;
};

inline Spread spread(std::vector<double> v)
{
    if (v.empty())
        return Spread{};
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return Spread{median, v.front(), v.back()};
}

// The CPU time (user and system) in a /proc/.../stat file, in seconds, from
// clock ticks; -1 when it cannot be read.
inline double stat_cpu_seconds(const std::string& path)
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

}  // namespace bench
