// The benchmarks' one statistic: a percentile of measured times, nearest rank.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

// p in [0, 1]: 0.5 the median, 0.99 the 99th percentile; 0 when nothing was measured.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[at];
}
