#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The benchmark's message, a job's progress report of five fields. Every call
// takes the next values of a precomputed cycle, so each field changes from one
// call to the next while making the values costs nothing.
class ProgressMessages {
public:
    static constexpr const char* type = "Progress";
    static constexpr const char* format = "step=%i increment=%i time=%r heading=%s phase=%e";

    // One call's values, in the arrays the entry points take.
    struct Values {
        int integers[2];
        double doubles[1];
        char* texts[2];

        int Step() const { return integers[0]; }
        int Increment() const { return integers[1]; }
        double Time() const { return doubles[0]; }
        const char* Heading() const { return texts[0]; }
        const char* Phase() const { return texts[1]; }
    };

    ProgressMessages();
    ProgressMessages(const ProgressMessages&) = delete;
    ProgressMessages& operator=(const ProgressMessages&) = delete;

    Values& Next() {
        Values& values = cycle[next];
        next = next + 1 == cycle.size() ? 0 : next + 1;
        return values;
    }

    size_t CycleLength() const { return cycle.size(); }

private:
    std::vector<std::string> headings;
    std::vector<std::string> phases;
    std::vector<Values> cycle;
    size_t next = 0;
};
