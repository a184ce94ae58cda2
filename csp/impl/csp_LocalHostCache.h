#pragma once

#include "csp/impl/csp_Host.h"

// The process-wide record of the local machine, made on first request and
// released when the socket module's last user finalises.
class csp_LocalHostCache {
public:
    // The cached record; looked up first when there is none. Raises
    // invalid_host when the machine's name does not resolve, caching nothing.
    static csp_Host get();
    static void release();
    static bool holdsRecord();
};
