#include "foundation/impl/omni_UseCount.h"

bool omni_UseCount::Start(int& caller) {
    if (uses.fetch_add(1) != 0) return false;
    ++caller;
    return true;
}

bool omni_UseCount::Stop(int& caller) {
    if (uses.fetch_sub(1) != 1) return false;
    --caller;
    return true;
}

int omni_UseCount::Uses() const { return uses.load(); }
