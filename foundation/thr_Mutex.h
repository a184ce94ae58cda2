#pragma once

#include <mutex>

#include "foundation/ipm_export.h"

// A plain, non-recursive mutex. Also usable with std::lock_guard.
class IPM_EXPORT thr_Mutex {
public:
    explicit thr_Mutex(unsigned int flags = 0);
    thr_Mutex(const thr_Mutex&) = delete;
    thr_Mutex& operator=(const thr_Mutex&) = delete;

    // Inline: a job's every buffered message takes one. Another holder
    // keeps it only briefly, so waiting for it spins a little before it
    // sleeps: sleeping and being woken cost both threads a system call.
    void Lock() {
        if (!mutex.try_lock()) LockContended();
    }
    void Unlock() { mutex.unlock(); }
    // False at once when another holder has it.
    bool TryLock() { return mutex.try_lock(); }
    void lock() { Lock(); }
    void unlock() { Unlock(); }
    bool try_lock() { return TryLock(); }

private:
    void LockContended();

    std::mutex mutex;
};
