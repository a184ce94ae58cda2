#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Reads lines from a descriptor without ever blocking for longer than the
// caller allows, so the caller can watch other things (a kill request) while
// its input is idle. Memory stays bounded: a line longer than the limit is
// reported once and skipped.
class ipm_LineReader {
public:
    enum class Result { Line, Overlong, NothingYet, End };

    static constexpr std::size_t maxLineLength = 1 << 20;

    explicit ipm_LineReader(int descriptor);

    // Hands out the next complete line (without its line feed). Waits at most
    // `timeoutMilliseconds` for more input. At the end of input a last line
    // without a line feed still counts as a line.
    Result Next(std::string& line, int timeoutMilliseconds);

private:
    std::optional<Result> Take(std::string& line);
    bool ReadMore(int timeoutMilliseconds);

    int descriptor;
    std::string pending;
    bool skipping = false;
    bool ended = false;
};
