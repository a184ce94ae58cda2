#include "bench/ProgressMessages.h"

namespace {
constexpr int cycleLength = 1024;
constexpr int stepsPerLoad = 40;

// Every eighth heading holds a character that the document escapes.
std::string heading(int step, int load) {
    std::string text = "Step " + std::to_string(step) + " of load " + std::to_string(load);
    if (step % 8 == 0) text += " & " + std::to_string(load + 1);
    return text;
}
}  // namespace

ProgressMessages::ProgressMessages()
    : phases{"Assembly", "Solution", "Recovery", "Output"}, cycle(cycleLength) {
    headings.reserve(cycleLength);
    for (int call = 0; call < cycleLength; ++call) {
        const int step = 1000 + call;
        headings.push_back(heading(step, call / stepsPerLoad + 1));
        Values& values = cycle[static_cast<size_t>(call)];
        values.integers[0] = step;
        values.integers[1] = call % stepsPerLoad + 1;
        values.doubles[0] = step * 0.0125;
        values.texts[0] = headings.back().data();
        values.texts[1] = phases[static_cast<size_t>(call) % phases.size()].data();
    }
}
