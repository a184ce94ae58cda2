#pragma once

#include <chrono>
#include <future>
#include <thread>

#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"

// Runs an ipm_MessageTask on a thread of its own, as a job does. The
// destructor asks the task to stop and waits for it.
class TaskThread {
public:
    TaskThread() : ended(done.get_future()), thread([this] {
        task.Run(0);
        done.set_value();
    }) {}

    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;

    ~TaskThread() {
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().RequestStop();
        thread.join();
    }

    // True when Run has returned within `bound` (which only catches a hang).
    bool EndsWithin(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        return ended.wait_for(bound) == std::future_status::ready;
    }

private:
    ipm_MessageTask task;
    std::promise<void> done;
    std::future<void> ended;
    std::thread thread;
};
