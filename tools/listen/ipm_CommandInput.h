#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The listener's commands, one a line on standard input: "kill JOB" and
// "request JOB NAME [VALUE]" (the value is the rest of the line). Other lines
// are reported on standard error and skipped, and so is a line too long to
// be a command.
class ipm_CommandInput {
public:
    static constexpr std::size_t maxLineLength = 4096;

    struct Command {
        // "kill" or "request".
        std::string verb;
        std::string job;
        std::string name;
        std::string value;
    };

    explicit ipm_CommandInput(int descriptor);

    // What to poll; -1 once the input has ended.
    int Descriptor() const { return open ? descriptor : -1; }
    // Reads once; the commands of the complete lines.
    std::vector<Command> Read();

private:
    void RunLine(std::string_view line, std::vector<Command>& commands) const;

    int descriptor;
    bool open = true;
    bool discarding = false;
    std::string pending;
};
