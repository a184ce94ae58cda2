#include "csp/csp_WaitSet.h"

#include "csp/csp_WakeSignal.h"

std::size_t csp_WaitSet::add(int descriptor, unsigned interest) {
    watched.push_back({descriptor, interest});
    return watched.size() - 1;
}

std::size_t csp_WaitSet::add(const csp_WakeSignal& wake) { return add(wake.descriptor, readable); }

void csp_WaitSet::clear() {
    watched.clear();
    events.clear();
}
