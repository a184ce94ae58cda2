#pragma once

#include "foundation/ipm_export.h"

// A flag one thread raises to end another thread's wait on a socket early,
// alone or as one of a csp_WaitSet. Each platform builds it from what its
// socket wait can watch (an event counter on POSIX, a loopback datagram
// socket on Windows). When the system refuses one, raising it does nothing
// and waits run to their bound.
class IPM_EXPORT csp_WakeSignal {
public:
    enum class Outcome { Readable, Woken, TimedOut, Unreadable };

    csp_WakeSignal();
    ~csp_WakeSignal();
    csp_WakeSignal(const csp_WakeSignal&) = delete;
    csp_WakeSignal& operator=(const csp_WakeSignal&) = delete;

    // From any thread; never blocks.
    void raise();
    // Lowers it again, however often it was raised.
    void lower();

    // Waits at most `timeoutMilliseconds` until `descriptor` has data or its
    // end to read, or `wake` (when given) is raised. A socket that can never
    // be read (not connected, failing) is Unreadable at once; a negative
    // descriptor is not watched.
    static Outcome waitReadable(int descriptor, int timeoutMilliseconds, const csp_WakeSignal* wake);

private:
    friend class csp_WaitSet;

    int descriptor = -1;
};
