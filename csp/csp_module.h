#pragma once

#include "foundation/ipm_export.h"

// Start-up and shut-down pair of the socket module. Neither starts the
// system's socket layer: every socket does that for itself.
IPM_EXPORT void csp_initialize(int& count);
IPM_EXPORT void csp_finalize(int& count);
