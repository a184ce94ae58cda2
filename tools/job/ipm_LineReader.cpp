#include "tools/job/ipm_LineReader.h"

ipm_LineReader::Result ipm_LineReader::Next(std::string& line, int timeoutMilliseconds) {
    if (std::optional<Result> taken = Take(line)) return *taken;
    if (!ended && !ReadMore(timeoutMilliseconds)) return Result::NothingYet;
    if (std::optional<Result> taken = Take(line)) return *taken;
    if (!ended) return Result::NothingYet;
    if (pending.empty()) return Result::End;
    line.swap(pending);
    pending.clear();
    return Result::Line;
}

// A complete line, or the news that the current one is too long; nothing
// while the line is still arriving.
std::optional<ipm_LineReader::Result> ipm_LineReader::Take(std::string& line) {
    const size_t end = pending.find('\n');
    if (skipping) {
        pending.erase(0, end == std::string::npos ? pending.size() : end + 1);
        skipping = end == std::string::npos;
        if (skipping) return std::nullopt;
        return Take(line);
    }
    if (end != std::string::npos) {
        line.assign(pending, 0, end);
        pending.erase(0, end + 1);
        return Result::Line;
    }
    if (pending.size() <= maxLineLength) return std::nullopt;
    pending.clear();
    skipping = true;
    return Result::Overlong;
}

// False when nothing arrived within the time-out.
bool ipm_LineReader::ReadMore(int timeoutMilliseconds) {
    char chunk[4096];
    const int count = input.Read(chunk, sizeof chunk, timeoutMilliseconds);
    if (count < 0) return false;
    if (count == 0) {
        ended = true;
        return true;
    }
    pending.append(chunk, static_cast<size_t>(count));
    return true;
}
