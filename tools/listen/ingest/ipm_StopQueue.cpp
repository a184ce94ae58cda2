#include "tools/listen/ingest/ipm_StopQueue.h"

std::future<std::string> ipm_StopQueue::Post(std::int64_t job, std::optional<ipm_Request> request) {
    std::lock_guard guard(lock);
    waiting.push_back({job, {}, std::move(request)});
    auto outcome = waiting.back().outcome.get_future();
    wake.raise();
    return outcome;
}

std::vector<ipm_StopQueue::Request> ipm_StopQueue::Take() {
    std::lock_guard guard(lock);
    wake.lower();
    std::vector<Request> taken;
    taken.swap(waiting);
    return taken;
}
