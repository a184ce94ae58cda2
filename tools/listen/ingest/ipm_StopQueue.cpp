#include "tools/listen/ingest/ipm_StopQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

ipm_StopQueue::ipm_StopQueue() {
    if (::pipe2(pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot create the stop queue: ") + std::strerror(errno));
    }
}

ipm_StopQueue::~ipm_StopQueue() {
    ::close(pipe[0]);
    ::close(pipe[1]);
}

std::future<std::string> ipm_StopQueue::Post(std::int64_t job, std::optional<ipm_Request> request) {
    std::lock_guard guard(lock);
    waiting.push_back({job, {}, std::move(request)});
    auto outcome = waiting.back().outcome.get_future();
    // One byte while requests wait is enough to wake the loop.
    if (waiting.size() == 1) {
        const char byte = 's';
        [[maybe_unused]] const ssize_t ignored = ::write(pipe[1], &byte, 1);
    }
    return outcome;
}

std::vector<ipm_StopQueue::Request> ipm_StopQueue::Take() {
    std::lock_guard guard(lock);
    char bytes[64];
    while (::read(pipe[0], bytes, sizeof bytes) > 0) {
    }
    std::vector<Request> taken;
    taken.swap(waiting);
    return taken;
}
