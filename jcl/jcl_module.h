#pragma once

#include "foundation/ipm_export.h"

// Start-up and shut-down pair of the Jabber client module.
IPM_EXPORT void jcl_initialize(int& count);
IPM_EXPORT void jcl_finalize(int& count);
