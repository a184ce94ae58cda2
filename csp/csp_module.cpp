#include "csp/csp_module.h"

#include "foundation/omni_UseCount.h"

namespace {
omni_UseCount cspUses;
}

void csp_initialize(int& count) { cspUses.Start(count); }

void csp_finalize(int& count) { cspUses.Stop(count); }
