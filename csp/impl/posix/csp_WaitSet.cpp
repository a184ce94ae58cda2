#include "csp/csp_WaitSet.h"

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

// After the system's poll flags.
#include "csp/impl/csp_PollEvents.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_WaitSet";
}  // namespace

// poll() skips a negative descriptor, which so keeps its place unwatched.
int csp_WaitSet::wait(int timeoutMilliseconds) {
    std::vector<pollfd> polled;
    polled.reserve(watched.size());
    for (const Watched& entry : watched) polled.push_back({entry.descriptor, csp_PollEvents::asked(entry.interest), 0});
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
        events.push_back(csp_PollEvents::found(polled[i].revents, watched[i].interest));
    return ready;
}
