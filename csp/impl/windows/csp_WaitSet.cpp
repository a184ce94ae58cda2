#include "csp/csp_WaitSet.h"

#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

// After the system's poll flags.
#include "csp/impl/csp_PollEvents.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_WaitSet";
}  // namespace

// Only the sockets there are go to WSAPoll, which fails when it has none:
// then only the time passes.
int csp_WaitSet::wait(int timeoutMilliseconds) {
    std::vector<WSAPOLLFD> polled;
    std::vector<std::size_t> placeOf;
    for (std::size_t place = 0; place < watched.size(); ++place) {
        if (watched[place].descriptor < 0) continue;
        polled.push_back(
            {static_cast<SOCKET>(watched[place].descriptor), csp_PollEvents::asked(watched[place].interest), 0});
        placeOf.push_back(place);
    }
    events.assign(watched.size(), 0);
    if (polled.empty()) {
        ::Sleep(timeoutMilliseconds < 0 ? INFINITE : static_cast<DWORD>(timeoutMilliseconds));
        return 0;
    }
    const int ready =
        ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMilliseconds < 0 ? -1 : timeoutMilliseconds);
    if (ready == SOCKET_ERROR) {
        csp_NetworkException(
            system_call_failure,
            cow_String(("cannot wait: " + csp_SocketLayer::errorText(csp_SocketLayer::lastError())).c_str()))
            .Throw(sourceFile, __LINE__);
    }
    for (std::size_t i = 0; i < polled.size(); ++i)
        events[placeOf[i]] = csp_PollEvents::found(polled[i].revents, watched[placeOf[i]].interest);
    return ready;
}
