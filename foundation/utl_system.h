#pragma once

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// The machine's host name.
IPM_EXPORT cow_String utl_getHostName();

// Pauses the calling thread for `milliseconds`.
IPM_EXPORT void utl_sleep(unsigned int milliseconds);
