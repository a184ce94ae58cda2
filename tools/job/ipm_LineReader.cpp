#include "tools/job/ipm_LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

ipm_LineReader::ipm_LineReader(int descriptor) : descriptor(descriptor) {}

ipm_LineReader::Result ipm_LineReader::Next(std::string& line, int timeoutMilliseconds) {
    if (TakeLine(line)) return Result::Line;
    if (!ended && !ReadMore(timeoutMilliseconds)) return Result::NothingYet;
    if (TakeLine(line)) return Result::Line;
    if (!ended) return Result::NothingYet;
    if (pending.empty()) return Result::End;
    line.swap(pending);
    pending.clear();
    return Result::Line;
}

bool ipm_LineReader::TakeLine(std::string& line) {
    const size_t end = pending.find('\n');
    if (end == std::string::npos) return false;
    line.assign(pending, 0, end);
    pending.erase(0, end + 1);
    return true;
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
