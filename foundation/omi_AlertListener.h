#pragma once

#include "foundation/ipm_export.h"
#include "foundation/omi_Singleton.h"

// The process's alert listener. Its handle, reported by a job's first
// message, is the process id unless the host sets another value.
class IPM_EXPORT omi_AlertListener {
public:
    omi_AlertListener();

    unsigned int GetHandle() const;
    void SetHandle(unsigned int handle);

private:
    unsigned int handle;
};

template <>
IPM_EXPORT omi_AlertListener& omi_Singleton<omi_AlertListener>::Instance();
