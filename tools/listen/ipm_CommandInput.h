#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The listener's commands, one a line on standard input. The only command is
// "kill JOB"; other lines are reported on standard error and skipped, and so
// is a line too long to be a command.
class ipm_CommandInput {
public:
    static constexpr std::size_t maxLineLength = 4096;

    explicit ipm_CommandInput(int descriptor);

    // What to poll; -1 once the input has ended.
    int Descriptor() const { return open ? descriptor : -1; }
    // Reads once; the names of the jobs the complete lines ask to kill.
    std::vector<std::string> Read();

private:
    void RunLine(std::string_view line, std::vector<std::string>& kills) const;

    int descriptor;
    bool open = true;
    bool discarding = false;
    std::string pending;
};
