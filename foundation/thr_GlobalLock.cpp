#include "foundation/thr_GlobalLock.h"

void thr_GlobalLock::Lock() { mutex.Lock(); }

void thr_GlobalLock::Unlock() { mutex.Unlock(); }

template <>
thr_GlobalLock& omi_Singleton<thr_GlobalLock>::Instance() {
    static thr_GlobalLock lock;
    return lock;
}
