#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

// Console output as usual, then a table of ours-versus-floor ratios with their goals.
// With repetitions, the medians are compared. CPU time, since both sides are single-threaded
// computation and the machine is shared.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Pair {
        std::string ours;
        std::string floor;
        double goal;
    };

    explicit RatioReporter(std::vector<Pair> pairs)
        : ConsoleReporter(OO_None), pairs_(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            // A median, when there is one, comes after the iterations and replaces them.
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                seen_[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        auto& out = GetOutputStream();
        out << "\n| ours | floor | ratio | goal |\n|---|---|---|---|\n";
        for (const auto& pair : pairs_) {
            if (!seen_.count(pair.ours) || !seen_.count(pair.floor))
                continue;
            const double ratio = seen_[pair.ours] / seen_[pair.floor];
            out << "| " << pair.ours << " | " << pair.floor << " | " << ratio
                << " | <= " << pair.goal << (ratio <= pair.goal ? " (met)" : " (missed)") << " |\n";
        }
    }

private:
    std::vector<Pair> pairs_;
    std::map<std::string, double> seen_;
};
