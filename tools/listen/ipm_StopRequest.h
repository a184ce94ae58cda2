#pragma once

#include "csp/csp_WaitSet.h"

// Turns a stop asked for from outside (SIGINT and SIGTERM on POSIX, Ctrl-C,
// Ctrl-Break and closing the console on Windows) into a place of the loop's
// wait that becomes readable; on POSIX also ignores SIGPIPE, so that a peer
// gone away shows as a failed write. Objects alive at the same time share
// one signal, so that one stop ends every loop of the process. Each
// platform has its side (posix/, windows/).
class ipm_StopRequest {
public:
    // Throws std::runtime_error when the stop cannot be watched.
    ipm_StopRequest();
    // The last one puts the default handling back.
    ~ipm_StopRequest();
    ipm_StopRequest(const ipm_StopRequest&) = delete;
    ipm_StopRequest& operator=(const ipm_StopRequest&) = delete;

    // Adds one place, found readable once a stop was asked for.
    void Watch(csp_WaitSet& waits) const;
    // Asks for a stop as a signal would.
    static void Ask();
};
