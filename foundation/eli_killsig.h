#pragma once

#include "foundation/ipm_export.h"

// The job's kill signal. Raising it sets a process-wide flag and calls the
// handler the job registered, if any; it never ends the process itself.
typedef void (*eli_KillHandler)(void);

IPM_EXPORT void eli_setkillsig();
IPM_EXPORT bool eli_killsigRaised();
// Lowers the flag again (a host that handled the request, or a test).
IPM_EXPORT void eli_clearkillsig();
// Registers the handler called on each raise; null removes it.
IPM_EXPORT void eli_setKillHandler(eli_KillHandler handler);
