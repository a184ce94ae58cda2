#pragma once

#include <mutex>

#include "foundation/ipm_export.h"

// A plain, non-recursive mutex. Also usable with std::lock_guard.
class IPM_EXPORT thr_Mutex {
public:
    explicit thr_Mutex(unsigned int flags = 0);
    thr_Mutex(const thr_Mutex&) = delete;
    thr_Mutex& operator=(const thr_Mutex&) = delete;

    // Inline: a job's every buffered message takes one.
    void Lock() { mutex.lock(); }
    void Unlock() { mutex.unlock(); }
    // False at once when another holder has it.
    bool TryLock() { return mutex.try_lock(); }
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    std::mutex mutex;
};
