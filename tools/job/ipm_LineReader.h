#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "tools/job/ipm_TimedInput.h"

// Reads lines from standard input without ever blocking for longer than the
// caller allows, so the caller can watch other things (a kill request) while
// its input is idle. Memory stays bounded: a line longer than the limit is
// reported once and skipped.
class ipm_LineReader {
public:
    enum class Result { Line, Overlong, NothingYet, End };

    static constexpr std::size_t maxLineLength = 1 << 20;

    // Hands out the next complete line (without its line feed). Waits at most
    // `timeoutMilliseconds` for more input. At the end of input a last line
    // without a line feed still counts as a line.
    Result Next(std::string& line, int timeoutMilliseconds);

private:
    std::optional<Result> Take(std::string& line);
    bool ReadMore(int timeoutMilliseconds);

    ipm_TimedInput input;
    std::string pending;
    bool skipping = false;
    bool ended = false;
};
