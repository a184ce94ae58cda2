#include "csp/csp_module.h"

#include "csp/impl/csp_LocalHostCache.h"
#include "foundation/impl/omni_UseCount.h"

namespace {
omni_UseCount cspUses;
}

void csp_initialize(int& count) { cspUses.Start(count); }

void csp_finalize(int& count) {
    if (cspUses.Stop(count)) csp_LocalHostCache::release();
}
