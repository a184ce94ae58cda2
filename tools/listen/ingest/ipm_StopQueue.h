#pragma once

#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "csp/csp_WakeSignal.h"
#include "ipm/ipm_Request.h"

// Stop requests, and requests beside them, on their way from the monitor's
// page to the loop that owns the job's connection; the loop waits on Wake()
// too and answers each with its outcome: "sent", "waiting" (a
// request kept until the job connects again) or "failed: REASON".
class ipm_StopQueue {
public:
    struct Request {
        std::int64_t job;
        std::promise<std::string> outcome;
        // Empty for Kill.
        std::optional<ipm_Request> request;
    };

    // Raised while requests wait.
    const csp_WakeSignal& Wake() const { return wake; }
    std::future<std::string> Post(std::int64_t job, std::optional<ipm_Request> request = std::nullopt);
    std::vector<Request> Take();

private:
    csp_WakeSignal wake;
    std::mutex lock;
    std::vector<Request> waiting;
};
