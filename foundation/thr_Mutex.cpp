#include "foundation/thr_Mutex.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {
// About a microsecond: longer than a sender holds the lock for one message.
constexpr int spinsBeforeSleeping = 100;

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}
}  // namespace

thr_Mutex::thr_Mutex(unsigned int) {}

void thr_Mutex::LockContended() {
    for (int spin = 0; spin < spinsBeforeSleeping; ++spin) {
        relax();
        if (mutex.try_lock()) return;
    }
    mutex.lock();
}
