#pragma once

#include "foundation/ipm_export.h"
#include "foundation/thr_ThreadTask.h"

// The loop that serves the transport while the job computes: each turn polls
// the mechanism, sends what ipm_sendMessage buffered since the last turn, and
// pauses; in its pauses it serves the senders (log file, buffer memory). The
// job runs it on a thread of its own and ends it with the transmitter's
// RequestStop; buffered messages are sent before it ends.
class IPM_EXPORT ipm_MessageTask : public thr_ThreadTask {
public:
    ipm_MessageTask();
    ~ipm_MessageTask() override;

    void Run(unsigned int unused) override;
};
