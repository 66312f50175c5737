// The median of repeated measurements, with the smallest and the largest.
#pragma once

#include <algorithm>
#include <vector>

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

}  // namespace bench
