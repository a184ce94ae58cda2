#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/listen/alert/ipm_Alert.h"

// One destination of alerts (an account, a room, a webhook) with a thread and
// a bounded queue of its own, so that a slow or failing destination holds up
// neither ingest nor the other destinations. A failed delivery is retried a
// few times, a little later each time; the first failure, and the recovery
// after it, are reported once on standard error.
class ipm_AlertOutlet {
public:
    // Delivers one alert; throws std::exception saying why it failed.
    using Deliver = std::function<void(const ipm_Alert&)>;

    static constexpr std::size_t maxQueued = 1000;
    static constexpr int attempts = 4;

    // `retryDelay` is the wait after the first failed attempt; it doubles
    // after each further one.
    ipm_AlertOutlet(std::string name, Deliver deliver,
                    std::chrono::milliseconds retryDelay = std::chrono::seconds(2));
    ~ipm_AlertOutlet();
    ipm_AlertOutlet(const ipm_AlertOutlet&) = delete;
    ipm_AlertOutlet& operator=(const ipm_AlertOutlet&) = delete;

    // Never blocks: when the queue is full the oldest alert gives way.
    void Post(ipm_Alert alert);

private:
    void Run();
    // True once delivered; false when every attempt failed or the outlet stops.
    bool DeliverWithRetries(const ipm_Alert& alert);

    const std::string name;
    const Deliver deliver;
    const std::chrono::milliseconds retryDelay;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<ipm_Alert> queue;
    std::size_t dropped = 0;
    bool stopping = false;
    bool failing = false;
    std::thread worker;
};
