#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ipm/ipm_Request.h"

// The process-wide desk between the transports, which hand in the requests
// they receive, and the job, which takes them at its safe point and answers
// them. Bounded: a request beyond the pending bound is dropped (the listener
// then sees no answer), and only the most recent ids are remembered to turn
// a repeated request away.
class ipm_RequestDesk {
public:
    static constexpr size_t pendingBound = 16;
    static constexpr size_t rememberedIds = 256;

    static ipm_RequestDesk& Instance();

    // A fresh run: nothing offered, pending or taken.
    void Reset();
    // The names the job now understands; empty withdraws the offer.
    void Offer(std::vector<std::string> names);
    // From a transport's thread. Ignored while nothing is offered (a job
    // that offers nothing behaves as one that knows no requests), when its
    // id was seen before, or when the pending bound is reached.
    void Receive(const ipm_Request& request);
    // The oldest pending request; `offered` tells whether its name is in
    // the offer (if not, the job refuses it unseen).
    std::optional<ipm_Request> Take(bool& offered);
    // The request's name when `id` was taken and not yet answered; it then
    // counts as answered.
    std::optional<std::string> Answer(int id);

private:
    std::mutex lock;
    std::set<std::string> offered;
    std::deque<ipm_Request> pending;
    std::deque<int> seen;
    std::map<int, std::string> taken;
};
