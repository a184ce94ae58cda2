#pragma once

#include "foundation/ipm_export.h"

// Start-up and shut-down pairs of the foundation modules. Each takes the
// caller's counter and follows the counting rule of omni_UseCount.
IPM_EXPORT void mem_initialize(int& count);
IPM_EXPORT void mem_finalize(int& count);
IPM_EXPORT void xmp_initialize(int& count);
IPM_EXPORT void xmp_finalize(int& count);
IPM_EXPORT void thr_initialize(int& count);
IPM_EXPORT void thr_finalize(int& count);
IPM_EXPORT void omni_initialize(int& count);
IPM_EXPORT void omni_finalize(int& count);
IPM_EXPORT void atr_initialize(int& count);
IPM_EXPORT void atr_finalize(int& count);
IPM_EXPORT void cow_initialize(int& count);
IPM_EXPORT void cow_finalize(int& count);
IPM_EXPORT void nex_initialize(int& count);
IPM_EXPORT void nex_finalize(int& count);
IPM_EXPORT void utl_initialize(int& count);
IPM_EXPORT void utl_finalize(int& count);
IPM_EXPORT void eli_initialize(int& count);
IPM_EXPORT void eli_finalize(int& count);
