#include "csp/csp_WaitSet.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_WaitSet";

short pollEvents(unsigned interest) {
    return static_cast<short>(((interest & csp_WaitSet::readable) ? POLLIN : 0) |
                              ((interest & csp_WaitSet::writable) ? POLLOUT : 0));
}

// A hang-up or error is found by the read or write the caller makes next.
unsigned foundEvents(short polled, unsigned interest) {
    unsigned found = 0;
    if (polled & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) found |= csp_WaitSet::readable;
    if (polled & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) found |= csp_WaitSet::writable;
    return found & interest;
}
}  // namespace

// poll() skips a negative descriptor, which so keeps its place unwatched.
int csp_WaitSet::wait(int timeoutMilliseconds) {
    std::vector<pollfd> polled;
    polled.reserve(watched.size());
    for (const Watched& entry : watched) polled.push_back({entry.descriptor, pollEvents(entry.interest), 0});
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
    int left = timeoutMilliseconds;
    int ready;
    while ((ready = ::poll(polled.data(), polled.size(), left)) < 0) {
        if (errno != EINTR) {
            csp_NetworkException(system_call_failure,
                                 cow_String(("cannot wait: " + csp_SocketLayer::errorText(errno)).c_str()))
                .Throw(sourceFile, __LINE__);
        }
        if (timeoutMilliseconds >= 0) {
            left = static_cast<int>(
                std::max<long long>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
        }
    }
    events.clear();
    for (std::size_t i = 0; i < polled.size(); ++i)
        events.push_back(foundEvents(polled[i].revents, watched[i].interest));
    return ready;
}
