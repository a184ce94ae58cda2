#include "tools/job/ipm_TimedInput.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

ipm_TimedInput::ipm_TimedInput() = default;

ipm_TimedInput::~ipm_TimedInput() = default;

int ipm_TimedInput::Read(char* buffer, int size, int timeoutMilliseconds) {
    pollfd watched{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&watched, 1, timeoutMilliseconds);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return -1;
    const ssize_t count = ready < 0 ? -1 : ::read(STDIN_FILENO, buffer, static_cast<size_t>(size));
    if (count < 0 && errno == EINTR) return -1;
    return count < 0 ? 0 : static_cast<int>(count);
}
