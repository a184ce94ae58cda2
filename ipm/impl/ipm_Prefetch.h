#pragma once

#include <cstddef>

// x86 has the prefetch with intent to write only as an extension: every
// 64-bit processor of the last decade has it, and older ones run it as a
// no-op. Its callers carry the mark too, so that it inlines into them.
#if defined(__x86_64__) || defined(__i386__)
#define IPM_PREFETCH_FOR_WRITE __attribute__((target("prfchw")))
#else
#define IPM_PREFETCH_FOR_WRITE
#endif

// A typical document's bytes, as many as a sender asks for before it appends.
constexpr size_t ipm_typicalDocumentBytes = 320;

// Asks for the lines of `bytes` from `at` with intent to write, so that a
// sender's stores into memory that another core last touched have arrived
// before its lock release waits on them. Only a hint: a stale address, even
// of memory given back, is harmless, as a prefetch never faults.
IPM_PREFETCH_FOR_WRITE inline void ipm_prefetchForWrite(const char* at, size_t bytes) {
    for (size_t offset = 0; offset < bytes; offset += 64) __builtin_prefetch(at + offset, 1, 3);
}
