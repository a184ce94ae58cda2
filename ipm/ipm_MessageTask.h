#pragma once

#include "foundation/ipm_export.h"
#include "foundation/thr_ThreadTask.h"

// The loop that serves the transport while the job computes: it starts the
// transport (and starts it again after a failure), polls it for kill
// requests, sends what ipm_sendMessage buffered, and in its pauses serves the
// senders (log file, buffer memory). The job runs it on a thread of its own
// (ipm_Messaging does all this) and ends it with the transmitter's
// RequestStop; buffered messages are sent before it ends, within a bound.
class IPM_EXPORT ipm_MessageTask : public thr_ThreadTask {
public:
    ipm_MessageTask();
    ~ipm_MessageTask() override;

    void Run(unsigned int unused) override;
};
