#include "csp/csp_WaitSet.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

// After the system's poll flags.
#include "csp/impl/csp_PollEvents.h"

namespace {

constexpr const char* sourceFile = "generated/csp/impl/csp_WaitSet";
// Ready ones taken per wait; more wait for the next one, level-triggered.
constexpr int readyPerWait = 1024;

[[noreturn]] void fail(const char* what) {
    csp_NetworkException(system_call_failure,
                         cow_String((std::string(what) + ": " + csp_SocketLayer::errorText(errno)).c_str()))
        .Throw(sourceFile, __LINE__);
}

}  // namespace

csp_WaitSet::csp_WaitSet() : system(::epoll_create1(EPOLL_CLOEXEC)) {
    if (system < 0) fail("cannot create a wait set");
}

csp_WaitSet::~csp_WaitSet() { ::close(system); }

void csp_WaitSet::enrol(Handle handle) {
    epoll_event asked{static_cast<std::uint32_t>(csp_PollEvents::asked(watched[handle].interest)), {}};
    asked.data.u64 = handle;
    if (::epoll_ctl(system, EPOLL_CTL_ADD, watched[handle].descriptor, &asked) == 0) return;
    // poll() finds a regular file always ready; so does this wait.
    if (errno != EPERM) fail("cannot watch a descriptor");
    alwaysReady.push_back(handle);
}

void csp_WaitSet::amend(Handle handle) {
    if (std::find(alwaysReady.begin(), alwaysReady.end(), handle) != alwaysReady.end()) return;
    epoll_event asked{static_cast<std::uint32_t>(csp_PollEvents::asked(watched[handle].interest)), {}};
    asked.data.u64 = handle;
    if (::epoll_ctl(system, EPOLL_CTL_MOD, watched[handle].descriptor, &asked) != 0) fail("cannot change a watch");
}

void csp_WaitSet::withdraw(Handle handle) {
    const auto always = std::find(alwaysReady.begin(), alwaysReady.end(), handle);
    if (always != alwaysReady.end()) {
        alwaysReady.erase(always);
        return;
    }
    if (::epoll_ctl(system, EPOLL_CTL_DEL, watched[handle].descriptor, nullptr) != 0) fail("cannot stop a watch");
}

std::span<csp_WaitSet::Ready> csp_WaitSet::wait(int timeoutMilliseconds) {
    epoll_event found[readyPerWait];
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
    int left = alwaysReady.empty() ? timeoutMilliseconds : 0;
    int count;
    while ((count = ::epoll_wait(system, found, readyPerWait, left)) < 0) {
        if (errno != EINTR) fail("cannot wait");
        if (left > 0) {
            left = static_cast<int>(
                std::max<long long>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
        }
    }
    ready.clear();
    readyHandles.clear();
    for (int i = 0; i < count; ++i) {
        const auto handle = static_cast<Handle>(found[i].data.u64);
        const unsigned events = csp_PollEvents::found(static_cast<short>(found[i].events), watched[handle].interest);
        if (events == 0) continue;
        ready.push_back({watched[handle].key, events});
        readyHandles.push_back(handle);
    }
    for (const Handle handle : alwaysReady) {
        ready.push_back({watched[handle].key, watched[handle].interest});
        readyHandles.push_back(handle);
    }
    return ready;
}
