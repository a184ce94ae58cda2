#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "foundation/ipm_export.h"

class csp_WakeSignal;

// One wait over many sockets and wake signals, for a loop that serves
// several connections on one thread. What it watches stays registered from
// one wait to the next, so that a wait costs what is ready, not what is
// watched. On POSIX systems any pollable descriptor (a pipe, a terminal) can
// be watched as well; on Windows only sockets.
class IPM_EXPORT csp_WaitSet {
public:
    // What a wait looks for, and finds.
    enum Event : unsigned {
        // Data, the stream's end or an error waits: a read tells which.
        readable = 1,
        // Room to write, or an error that a write tells.
        writable = 2,
    };
    using Handle = std::size_t;
    // One watched thing found ready: the caller's key and a mask of Event.
    // Events are 0 for one removed after the wait found it.
    struct Ready {
        void* key;
        unsigned events;
    };

    // Raises csp_NetworkException (system_call_failure) when the system
    // cannot make one.
    csp_WaitSet();
    ~csp_WaitSet();
    csp_WaitSet(const csp_WaitSet&) = delete;
    csp_WaitSet& operator=(const csp_WaitSet&) = delete;

    // Watches `descriptor` for `interest` (readable, writable or both) until
    // removed; waits report it with `key`. Remove it before closing the
    // descriptor. Raises csp_NetworkException when the system refuses it.
    Handle add(int descriptor, unsigned interest, void* key);
    // Watches `wake`: found readable while it is raised.
    Handle add(const csp_WakeSignal& wake, void* key);
    void change(Handle handle, unsigned interest);
    void remove(Handle handle);

    // Waits at most `timeoutMilliseconds`, without bound when negative, until
    // one is ready, and returns the ready ones, valid until the next wait. A
    // signal that interrupts the wait resumes it with the time left. Raises
    // csp_NetworkException (system_call_failure) when the system cannot wait.
    std::span<Ready> wait(int timeoutMilliseconds);

private:
    struct Watched {
        int descriptor = -1;
        unsigned interest = 0;
        void* key = nullptr;
    };

    Handle keep(int descriptor, unsigned interest, void* key);
    // The system's side of add, change and remove.
    void enrol(Handle handle);
    void amend(Handle handle);
    void withdraw(Handle handle);

    std::vector<Watched> watched;
    std::vector<Handle> freeHandles;
    std::vector<Ready> ready;
    // The handle of each entry of `ready`, for remove.
    std::vector<Handle> readyHandles;
    // The system's wait object where it has one (-1 otherwise).
    int system = -1;
    // Watched descriptors the system cannot wait on because they are always
    // ready (regular files).
    std::vector<Handle> alwaysReady;
};
