#include "csp/csp_WaitSet.h"

#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

// After the system's poll flags.
#include "csp/impl/csp_PollEvents.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_WaitSet";
}  // namespace

// WSAPoll takes the whole list at every wait: the kept registrations are
// polled as they are.
csp_WaitSet::csp_WaitSet() = default;
csp_WaitSet::~csp_WaitSet() = default;
void csp_WaitSet::enrol(Handle) {}
void csp_WaitSet::amend(Handle) {}
void csp_WaitSet::withdraw(Handle) {}

// Only the sockets there are go to WSAPoll, which fails when it has none:
// then only the time passes.
std::span<csp_WaitSet::Ready> csp_WaitSet::wait(int timeoutMilliseconds) {
    std::vector<WSAPOLLFD> polled;
    std::vector<Handle> handleOf;
    for (Handle handle = 0; handle < watched.size(); ++handle) {
        if (watched[handle].descriptor < 0) continue;
        polled.push_back(
            {static_cast<SOCKET>(watched[handle].descriptor), csp_PollEvents::asked(watched[handle].interest), 0});
        handleOf.push_back(handle);
    }
    ready.clear();
    readyHandles.clear();
    if (polled.empty()) {
        ::Sleep(timeoutMilliseconds < 0 ? INFINITE : static_cast<DWORD>(timeoutMilliseconds));
        return ready;
    }
    const int count =
        ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMilliseconds < 0 ? -1 : timeoutMilliseconds);
    if (count == SOCKET_ERROR) {
        csp_NetworkException(
            system_call_failure,
            cow_String(("cannot wait: " + csp_SocketLayer::errorText(csp_SocketLayer::lastError())).c_str()))
            .Throw(sourceFile, __LINE__);
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
        const unsigned events = csp_PollEvents::found(polled[i].revents, watched[handleOf[i]].interest);
        if (events == 0) continue;
        ready.push_back({watched[handleOf[i]].key, events});
        readyHandles.push_back(handleOf[i]);
    }
    return ready;
}
