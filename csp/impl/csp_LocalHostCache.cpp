#include "csp/impl/csp_LocalHostCache.h"

#include <memory>
#include <mutex>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

namespace {
std::mutex cacheGuard;
std::unique_ptr<csp_Host> cached;

csp_Host lookUpLocalMachine() {
    char name[256] = {};
    try {
        if (csp_SocketLayer::hostName(name, 255)) return csp_Host(cow_String(name));
    } catch (const csp_NetworkException&) {
        // Reported below, in the words every failure here gets.
    }
    csp_throwNetworkError(invalid_host, "Could not find ip address for the localhost");
}
}  // namespace

csp_Host csp_LocalHostCache::get() {
    std::lock_guard lock(cacheGuard);
    if (!cached) cached = std::make_unique<csp_Host>(lookUpLocalMachine());
    return *cached;
}

void csp_LocalHostCache::release() {
    std::lock_guard lock(cacheGuard);
    cached.reset();
}

bool csp_LocalHostCache::holdsRecord() {
    std::lock_guard lock(cacheGuard);
    return cached != nullptr;
}
