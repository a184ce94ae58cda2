#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The listener's commands, one a line of standard input as ipm_StandardInput
// hands it over: "kill JOB" and "request JOB NAME [VALUE]" (the value is the
// rest of the line). Other lines are reported on standard error and skipped,
// and so is a line too long to be a command.
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

    // The commands of the lines that `bytes` completes.
    std::vector<Command> Feed(std::string_view bytes);

private:
    void RunLine(std::string_view line, std::vector<Command>& commands) const;

    bool discarding = false;
    std::string pending;
};
