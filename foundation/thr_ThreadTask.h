#pragma once

#include "foundation/ipm_export.h"

// A task that the host's thread facility runs on a thread of its own.
class IPM_EXPORT thr_ThreadTask {
public:
    virtual ~thr_ThreadTask() = default;
    virtual void Run(unsigned int argument) = 0;
};
