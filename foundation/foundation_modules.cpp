#include "foundation/foundation_modules.h"

#include "foundation/impl/omni_UseCount.h"

// The foundation's facilities need no set-up of their own here, so each pair
// only keeps its module's use count.
namespace {
omni_UseCount memUses, xmpUses, thrUses, omniUses, atrUses, cowUses, nexUses, utlUses, eliUses;
}

void mem_initialize(int& count) { memUses.Start(count); }
void mem_finalize(int& count) { memUses.Stop(count); }
void xmp_initialize(int& count) { xmpUses.Start(count); }
void xmp_finalize(int& count) { xmpUses.Stop(count); }
void thr_initialize(int& count) { thrUses.Start(count); }
void thr_finalize(int& count) { thrUses.Stop(count); }
void omni_initialize(int& count) { omniUses.Start(count); }
void omni_finalize(int& count) { omniUses.Stop(count); }
void atr_initialize(int& count) { atrUses.Start(count); }
void atr_finalize(int& count) { atrUses.Stop(count); }
void cow_initialize(int& count) { cowUses.Start(count); }
void cow_finalize(int& count) { cowUses.Stop(count); }
void nex_initialize(int& count) { nexUses.Start(count); }
void nex_finalize(int& count) { nexUses.Stop(count); }
void utl_initialize(int& count) { utlUses.Start(count); }
void utl_finalize(int& count) { utlUses.Stop(count); }
void eli_initialize(int& count) { eliUses.Start(count); }
void eli_finalize(int& count) { eliUses.Stop(count); }
