#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

// The console report, plus the median over the repetitions of every
// benchmark's real time per call, from which it prints how our calls compare
// with what a user would otherwise write.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // A ratio with the bound it should stay within.
    struct Target {
        std::string ours;
        std::string alternative;
        double bound;
    };

    // In colour only on a terminal.
    RatioReporter();

    void ReportRuns(const std::vector<Run>& runs) override;

    // Median real time per call in nanoseconds; NaN when it did not run.
    double Median(const std::string& name) const;
    // Median of a user counter; NaN when there is none.
    double MedianCounter(const std::string& name, const std::string& counter) const;

    // Each of ours against each alternative, then the targets.
    void PrintRatios(std::ostream& out, const std::vector<std::string>& ours,
                     const std::vector<std::string>& alternatives, const std::vector<Target>& targets) const;

private:
    std::map<std::string, std::vector<double>> times;
    std::map<std::string, std::map<std::string, std::vector<double>>> counters;
};
