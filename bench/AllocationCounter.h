#pragma once

// Counts the heap allocations of the calling thread. The benchmark binary
// replaces malloc and its kin for this, except under the sanitizers, which
// replace them themselves.
class AllocationCounter {
public:
    // False when this build cannot count.
    static bool Available();
    // Allocations made so far by the calling thread.
    static long ThisThread();
};
