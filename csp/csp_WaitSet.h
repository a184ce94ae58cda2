#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "foundation/ipm_export.h"

class csp_WakeSignal;

// One wait over many sockets and wake signals, for a loop that serves
// several connections on one thread: fill it, wait, serve what it found,
// clear it for the next round. On POSIX systems any descriptor (a pipe, a
// terminal) can be watched as well; on Windows only sockets.
class IPM_EXPORT csp_WaitSet {
public:
    // What a wait looks for, and finds.
    enum Event : unsigned {
        // Data, the stream's end or an error waits: a read tells which.
        readable = 1,
        // Room to write, or an error that a write tells.
        writable = 2,
    };

    // Watches `descriptor` for `interest` (readable, writable or both) and
    // returns its place. A negative descriptor keeps a place but is never
    // found ready.
    std::size_t add(int descriptor, unsigned interest = readable);
    // Watches `wake`: found readable while it is raised.
    std::size_t add(const csp_WakeSignal& wake);
    std::size_t size() const { return watched.size(); }
    void clear();

    // Waits at most `timeoutMilliseconds`, without bound when negative, until
    // one is ready, and returns how many are. A signal that interrupts the
    // wait resumes it with the time left. Raises csp_NetworkException
    // (system_call_failure) when the system cannot wait.
    int wait(int timeoutMilliseconds);
    // What the last wait found: one mask of Event per place.
    std::span<const unsigned> found() const { return events; }

private:
    struct Watched {
        int descriptor;
        unsigned interest;
    };

    std::vector<Watched> watched;
    std::vector<unsigned> events;
};
