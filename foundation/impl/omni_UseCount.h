#pragma once

#include <atomic>

#include "foundation/ipm_export.h"

// The counting rule every module's start-up/shut-down pair follows: only the
// start that finds the count at 0 touches the caller's counter and does the
// module's work, and only the stop that brings it back to exactly 0 undoes it.
class omni_UseCount {
public:
    // True when this call started the module (the caller's counter was raised).
    bool Start(int& caller);
    // True when this call stopped the module (the caller's counter was lowered).
    bool Stop(int& caller);
    int Uses() const;

private:
    std::atomic<int> uses{0};
};
