#include "tools/listen/ipm_CommandInput.h"

#include "tools/listen/ipm_Console.h"

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string_view firstWord(std::string_view text) { return text.substr(0, text.find_first_of(" \t")); }

}  // namespace

std::vector<ipm_CommandInput::Command> ipm_CommandInput::Feed(std::string_view bytes) {
    std::vector<Command> kills;
    pending.append(bytes);
    std::size_t lineFeed;
    while ((lineFeed = pending.find('\n')) != std::string::npos) {
        if (!discarding) RunLine(std::string_view(pending).substr(0, lineFeed), kills);
        discarding = false;
        pending.erase(0, lineFeed + 1);
    }
    if (pending.size() > maxLineLength) {
        if (!discarding) ipm_Console::Report("warning: command line too long, ignored");
        discarding = true;
        pending.clear();
    }
    return kills;
}

void ipm_CommandInput::RunLine(std::string_view line, std::vector<Command>& commands) const {
    const std::string_view command = trimmed(line);
    if (command.empty()) return;
    const std::string_view verb = firstWord(command);
    const std::string_view rest = trimmed(command.substr(verb.size()));
    if (verb == "kill") {
        if (rest.empty()) {
            ipm_Console::Report("kill needs a job name: kill JOB");
            return;
        }
        commands.push_back({"kill", std::string(rest), {}, {}});
        return;
    }
    if (verb != "request") {
        ipm_Console::Report("unknown command \"" + std::string(command) +
                            "\"; the commands are: kill JOB, request JOB NAME [VALUE]");
        return;
    }
    const std::string_view job = firstWord(rest);
    const std::string_view afterJob = trimmed(rest.substr(job.size()));
    const std::string_view name = firstWord(afterJob);
    if (name.empty()) {
        ipm_Console::Report("request needs a job name and a request name: request JOB NAME [VALUE]");
        return;
    }
    commands.push_back({"request", std::string(job), std::string(name), std::string(trimmed(afterJob.substr(name.size())))});
}
