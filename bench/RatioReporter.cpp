#include "bench/RatioReporter.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {
double median(std::vector<double> values) {
    if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double nanoseconds(const benchmark::BenchmarkReporter::Run& run) {
    const double perCall = run.GetAdjustedRealTime();
    switch (run.time_unit) {
        case benchmark::kSecond: return perCall * 1e9;
        case benchmark::kMillisecond: return perCall * 1e6;
        case benchmark::kMicrosecond: return perCall * 1e3;
        default: return perCall;
    }
}

template <class Value>
std::string cell(const char* format, Value value) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}
}  // namespace

RatioReporter::RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
        const std::string& name = run.run_name.function_name;
        times[name].push_back(nanoseconds(run));
        for (const auto& [counter, value] : run.counters) counters[name][counter].push_back(value.value);
    }
    ConsoleReporter::ReportRuns(runs);
}

double RatioReporter::Median(const std::string& name) const {
    const auto found = times.find(name);
    return found == times.end() ? std::numeric_limits<double>::quiet_NaN() : median(found->second);
}

double RatioReporter::MedianCounter(const std::string& name, const std::string& counter) const {
    const auto family = counters.find(name);
    if (family == counters.end()) return std::numeric_limits<double>::quiet_NaN();
    const auto found = family->second.find(counter);
    return found == family->second.end() ? std::numeric_limits<double>::quiet_NaN() : median(found->second);
}

void RatioReporter::PrintRatios(std::ostream& out, const std::vector<std::string>& ours,
                                const std::vector<std::string>& alternatives,
                                const std::vector<Target>& targets) const {
    out << "\nMedian real time per call (ns), and ours divided by each alternative\n";
    out << cell("%-26s", "") << cell("%10s", "ns");
    for (const std::string& alternative : alternatives) out << cell("%16s", alternative.c_str());
    out << '\n';
    for (const std::string& name : ours) {
        out << cell("%-26s", name.c_str()) << cell("%10.1f", Median(name));
        for (const std::string& alternative : alternatives)
            out << cell("%15.2fx", Median(name) / Median(alternative));
        out << '\n';
    }
    for (const std::string& alternative : alternatives)
        out << cell("%-26s", alternative.c_str()) << cell("%10.1f", Median(alternative)) << '\n';

    out << "\nTargets\n";
    for (const Target& target : targets) {
        const double ratio = Median(target.ours) / Median(target.alternative);
        const char* verdict = std::isnan(ratio) ? "not run" : ratio <= target.bound ? "met" : "MISSED";
        out << cell("%-24s", target.ours.c_str()) << " / " << cell("%-16s", target.alternative.c_str())
            << cell("%6.2f", ratio) << cell("  (at most %.2f: ", target.bound) << verdict << ")\n";
    }
}
