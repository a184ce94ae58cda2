#include "foundation/thr_Mutex.h"

thr_Mutex::thr_Mutex(unsigned int) {}

void thr_Mutex::Lock() { mutex.lock(); }

void thr_Mutex::Unlock() { mutex.unlock(); }

bool thr_Mutex::TryLock() { return mutex.try_lock(); }
