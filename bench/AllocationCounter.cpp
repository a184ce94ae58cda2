#include "bench/AllocationCounter.h"

#include <errno.h>
#include <stdlib.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

bool AllocationCounter::Available() { return false; }

long AllocationCounter::ThisThread() { return 0; }

#else

// glibc's own allocator, which these replacements count and forward to.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* memory);
}

namespace {
// Static TLS of the executable: reading it never allocates.
thread_local long allocations = 0;
}  // namespace

extern "C" void* malloc(size_t size) noexcept {
    ++allocations;
    return __libc_malloc(size);
}

extern "C" void* calloc(size_t count, size_t size) noexcept {
    ++allocations;
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* memory, size_t size) noexcept {
    ++allocations;
    return __libc_realloc(memory, size);
}

extern "C" void free(void* memory) noexcept { __libc_free(memory); }

extern "C" void* memalign(size_t alignment, size_t size) noexcept {
    ++allocations;
    return __libc_memalign(alignment, size);
}

extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept { return memalign(alignment, size); }

extern "C" int posix_memalign(void** memory, size_t alignment, size_t size) noexcept {
    void* allocated = memalign(alignment, size);
    if (!allocated) return ENOMEM;
    *memory = allocated;
    return 0;
}

bool AllocationCounter::Available() { return true; }

long AllocationCounter::ThisThread() { return allocations; }

#endif
