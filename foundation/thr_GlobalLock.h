#pragma once

#include "foundation/ipm_export.h"
#include "foundation/omi_Singleton.h"
#include "foundation/thr_Mutex.h"

// The process-wide lock, reached through omi_Singleton<thr_GlobalLock>.
class IPM_EXPORT thr_GlobalLock {
public:
    void Lock();
    void Unlock();
    void lock() { Lock(); }
    void unlock() { Unlock(); }

private:
    thr_Mutex mutex;
};

template <>
IPM_EXPORT thr_GlobalLock& omi_Singleton<thr_GlobalLock>::Instance();
