#include "csp/csp_WaitSet.h"

#include "csp/csp_WakeSignal.h"

csp_WaitSet::Handle csp_WaitSet::keep(int descriptor, unsigned interest, void* key) {
    Handle handle = watched.size();
    if (freeHandles.empty()) {
        watched.emplace_back();
    } else {
        handle = freeHandles.back();
        freeHandles.pop_back();
    }
    watched[handle] = {descriptor, interest, key};
    return handle;
}

csp_WaitSet::Handle csp_WaitSet::add(int descriptor, unsigned interest, void* key) {
    const Handle handle = keep(descriptor, interest, key);
    try {
        enrol(handle);
    } catch (...) {
        watched[handle] = {};
        freeHandles.push_back(handle);
        throw;
    }
    return handle;
}

csp_WaitSet::Handle csp_WaitSet::add(const csp_WakeSignal& wake, void* key) {
    return add(wake.descriptor, readable, key);
}

void csp_WaitSet::change(Handle handle, unsigned interest) {
    if (watched[handle].interest == interest) return;
    watched[handle].interest = interest;
    amend(handle);
}

// A later entry of the current wait's list must not name what is gone: its
// key may be freed, its descriptor number reused.
void csp_WaitSet::remove(Handle handle) {
    withdraw(handle);
    for (std::size_t i = 0; i < readyHandles.size(); ++i) {
        if (readyHandles[i] == handle) ready[i] = {nullptr, 0};
    }
    watched[handle] = {};
    freeHandles.push_back(handle);
}
