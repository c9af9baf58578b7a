#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
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

inline const char* verdict(bool met) {
    return met ? "met" : "missed";
}

// The head of a table of our figures beside the floor's.
inline void printTableHead() {
    std::printf("| measure | floor | ours | ratio | goal | |\n|---|---|---|---|---|---|\n");
}

// One row of that table; a row without a goal only informs.
inline void printRow(const char* measure, int decimals, double floor, double ours,
                     const std::string& goal = {}, bool met = false) {
    std::printf("| %s | %.*f | %.*f | %.2f | %s | %s |\n", measure, decimals, floor, decimals, ours,
                ours / floor, goal.c_str(), goal.empty() ? "" : verdict(met));
}

// A row whose goal is a ratio of at most goal.
inline void printRatioRow(const char* measure, int decimals, double floor, double ours,
                          double goal) {
    char text[32];
    std::snprintf(text, sizeof text, "ratio <= %.2f", goal);
    printRow(measure, decimals, floor, ours, text, ours <= goal * floor);
}

} // namespace vorlund::bench
