#include "ipm/impl/ipm_RequestDesk.h"

#include <algorithm>
#include <utility>

ipm_RequestDesk& ipm_RequestDesk::Instance() {
    // Never destroyed: a transport thread may still hand a request in at exit.
    static ipm_RequestDesk* const desk = new ipm_RequestDesk;
    return *desk;
}

void ipm_RequestDesk::Reset() {
    std::lock_guard guard(lock);
    offered.clear();
    pending.clear();
    seen.clear();
    taken.clear();
}

void ipm_RequestDesk::Offer(std::vector<std::string> names) {
    std::lock_guard guard(lock);
    offered = std::set<std::string>(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
}

void ipm_RequestDesk::Receive(const ipm_Request& request) {
    std::lock_guard guard(lock);
    if (offered.empty() || pending.size() >= pendingBound) return;
    if (std::find(seen.begin(), seen.end(), request.id) != seen.end()) return;
    seen.push_back(request.id);
    if (seen.size() > rememberedIds) seen.pop_front();
    pending.push_back(request);
}

std::optional<ipm_Request> ipm_RequestDesk::Take(bool& offeredName) {
    std::lock_guard guard(lock);
    if (pending.empty()) return std::nullopt;
    ipm_Request request = std::move(pending.front());
    pending.pop_front();
    offeredName = offered.count(request.name) > 0;
    taken.emplace(request.id, request.name);
    // A job that never answers must not grow the set without bound.
    if (taken.size() > rememberedIds) taken.erase(taken.begin());
    return request;
}

std::optional<std::string> ipm_RequestDesk::Answer(int id) {
    std::lock_guard guard(lock);
    const auto found = taken.find(id);
    if (found == taken.end()) return std::nullopt;
    std::string name = std::move(found->second);
    taken.erase(found);
    return name;
}
