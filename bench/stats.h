#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace vorlund::bench {

// The nearest-rank percentile (0 < p <= 100) of samples; 0 for none.
inline double percentile(std::vector<double> samples, double p) {
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const auto rank = std::size_t(std::ceil(p / 100.0 * double(samples.size())));
    return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

inline double median(std::vector<double> samples) {
    return percentile(std::move(samples), 50);
}

inline const char* verdict(double value, double goal) {
    return value <= goal ? "met" : "missed";
}

} // namespace vorlund::bench
