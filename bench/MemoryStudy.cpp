#include "bench/MemoryStudy.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/AllocationCounter.h"
#include "bench/BenchJob.h"
#include "bench/ProgressMessages.h"
#include "ipm/ipm.h"

namespace {
constexpr int messageCount = 1000000;
constexpr int blockSize = 10000;
constexpr int reportedCounts[] = {10000, 100000, 250000, 500000, 750000, 1000000};

double residentMegabytes() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

template <class... Values>
std::string line(const char* format, Values... values) {
    char text[256];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}
}  // namespace

void MemoryStudy::Run(std::ostream& out) {
    out << "Resident memory over " << messageCount << " ipm_sendMessage calls, message task running\n";
    Measure(out, "Error messages beyond their cap (logged, not kept)", "Error");
    Measure(out, "Progress messages (each kept until the task sends it)", "Progress");
    job.DropBacklog();
    out << '\n';
}

// Sends in blocks, timing each, and samples the resident memory at the
// reported counts.
void MemoryStudy::Measure(std::ostream& out, const char* title, const char* type) {
    out << "  " << title << ":\n";
    double atFirstReport = residentMegabytes();
    double fastestBlock = 1e300;
    double slowestBlock = 0;
    const long allocationsBefore = AllocationCounter::ThisThread();
    const int* report = reportedCounts;
    for (int sent = 0; sent < messageCount;) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < blockSize; ++i, ++sent) {
            ProgressMessages::Values& values = messages.Next();
            ipm_sendMessage(type, ProgressMessages::format, values.integers, values.doubles, values.texts);
        }
        const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        const double perCall = spent.count() / blockSize;
        fastestBlock = std::min(fastestBlock, perCall);
        slowestBlock = std::max(slowestBlock, perCall);
        if (sent != *report) continue;
        const double resident = residentMegabytes();
        if (report == reportedCounts) atFirstReport = resident;
        out << line("    after %7d: %8.1f MB resident (%+.1f MB since %d)\n", sent, resident,
                    resident - atFirstReport, reportedCounts[0]);
        ++report;
    }
    const double grown = residentMegabytes() - atFirstReport;
    out << line("    growth after the first %d: %.1f MB, %.0f bytes per message\n", reportedCounts[0], grown,
                grown * 1024 * 1024 / (messageCount - reportedCounts[0]));
    out << line("    ns per call, fastest and slowest block of %d: %.0f, %.0f\n", blockSize, fastestBlock,
                slowestBlock);
    if (AllocationCounter::Available())
        out << line("    heap allocations per call: %.3f\n",
                    static_cast<double>(AllocationCounter::ThisThread() - allocationsBefore) / messageCount);
}
