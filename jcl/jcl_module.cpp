#include "jcl/jcl_module.h"

#include "foundation/impl/omni_UseCount.h"

namespace {
omni_UseCount jclUses;
}

void jcl_initialize(int& count) { jclUses.Start(count); }

void jcl_finalize(int& count) { jclUses.Stop(count); }
