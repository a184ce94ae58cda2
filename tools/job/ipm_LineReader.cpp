#include "tools/job/ipm_LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

ipm_LineReader::ipm_LineReader(int descriptor) : descriptor(descriptor) {}

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
    pollfd watched{descriptor, POLLIN, 0};
    const int ready = poll(&watched, 1, timeoutMilliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return false;
    char chunk[4096];
    const ssize_t count = ready < 0 ? -1 : read(descriptor, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) return false;
    if (count <= 0) {
        ended = true;
        return true;
    }
    pending.append(chunk, static_cast<size_t>(count));
    return true;
}
