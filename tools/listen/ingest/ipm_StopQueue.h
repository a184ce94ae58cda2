#pragma once

#include <cstdint>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipm/ipm_Request.h"

// Stop requests, and requests beside them, on their way from the monitor's
// page to the loop that owns the job's connection; the loop polls
// Descriptor() and answers each with its outcome: "sent", "waiting" (a
// request kept until the job connects again) or "failed: REASON".
class ipm_StopQueue {
public:
    struct Request {
        std::int64_t job;
        std::promise<std::string> outcome;
        // Empty for Kill.
        std::optional<ipm_Request> request;
    };

    // Throws std::runtime_error when the pipe cannot be made.
    ipm_StopQueue();
    ~ipm_StopQueue();
    ipm_StopQueue(const ipm_StopQueue&) = delete;
    ipm_StopQueue& operator=(const ipm_StopQueue&) = delete;

    // Readable while requests wait.
    int Descriptor() const { return pipe[0]; }
    std::future<std::string> Post(std::int64_t job, std::optional<ipm_Request> request = std::nullopt);
    std::vector<Request> Take();

private:
    int pipe[2] = {-1, -1};
    std::mutex lock;
    std::vector<Request> waiting;
};
