#include "tools/listen/ipm_Monitor.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json error(const std::string& why) { return {{"error", why}}; }

}  // namespace

ipm_Monitor::ipm_Monitor(ipm_History& history) : history(history) {
    for (auto& job : history.Jobs()) jobs.emplace(job.id, std::move(job));
    lastMessage = history.LastMessageId();
}

std::int64_t ipm_Monitor::JobConnected(const std::string& transport, const std::string& name,
                                       const std::string& peer) {
    std::lock_guard guard(lock);
    ipm_JobRecord job;
    job.id = jobs.empty() ? 1 : jobs.rbegin()->first + 1;
    job.name = name;
    job.transport = transport;
    job.peer = peer;
    job.started = now();
    Changed(jobs.emplace(job.id, std::move(job)).first->second);
    return jobs.rbegin()->first;
}

void ipm_Monitor::MessageReceived(std::int64_t id, const ipm_DocumentReader::Message& message) {
    ipm_MessageRecord record = ipm_MessageRecord::From(message);
    record.job = id;
    record.time = now();
    {
        std::lock_guard guard(lock);
        const auto job = jobs.find(id);
        if (job == jobs.end()) return;
        record.id = ++lastMessage;
        job->second.Count(record);
        Changed(job->second);
        if (events.HasReaders()) events.Publish("message", dump({{"job", id}, {"message", record.ToJson()}}));
    }
    history.Store(record);
}

void ipm_Monitor::JobEnded(std::int64_t id, bool orderly) {
    std::lock_guard guard(lock);
    const auto job = jobs.find(id);
    if (job == jobs.end()) return;
    ipm_JobRecord& record = job->second;
    if (record.stopOutcome == "sent") {
        record.state = "killed";
    } else if (record.state == "running") {
        record.state = orderly ? "stopped" : "gone";
    }
    Changed(record);
}

void ipm_Monitor::Refresh() {
    std::int64_t from = 0;
    {
        std::lock_guard guard(lock);
        from = jobs.empty() ? 1 : jobs.rbegin()->first + 1;
        if (!othersRunning.empty()) from = std::min(from, *othersRunning.begin());
    }
    std::vector<ipm_JobRecord> rows = history.Jobs(from);
    std::lock_guard guard(lock);
    for (auto& row : rows) {
        const bool known = jobs.count(row.id) != 0;
        if (known && (othersRunning.count(row.id) == 0 || jobs.at(row.id).ToJson() == row.ToJson())) continue;
        if (row.state == "running") {
            othersRunning.insert(row.id);
        } else {
            othersRunning.erase(row.id);
        }
        if (events.HasReaders()) events.Publish("job", dump(row.ToJson()));
        jobs.insert_or_assign(row.id, std::move(row));
    }
}

void ipm_Monitor::StopDone(std::int64_t id, const std::string& outcome) {
    std::lock_guard guard(lock);
    const auto job = jobs.find(id);
    if (job == jobs.end()) return;
    job->second.stopOutcome = outcome;
    if (outcome != "sent" && job->second.state == "running") job->second.state = "unreachable";
    Changed(job->second);
}

ipm_StopQueue& ipm_Monitor::StopsFor(const std::string& transport) {
    return transport == "jabber" ? jabberStops : directStops;
}

Json ipm_Monitor::Jobs() const {
    std::lock_guard guard(lock);
    Json list = Json::array();
    for (const auto& [id, job] : jobs) list.push_back(job.ToJson());
    return {{"jobs", std::move(list)}};
}

bool ipm_Monitor::Knows(std::int64_t id) const {
    std::lock_guard guard(lock);
    return jobs.count(id) != 0;
}

std::pair<int, Json> ipm_Monitor::RequestStop(std::int64_t id) {
    std::string transport;
    {
        std::lock_guard guard(lock);
        const auto job = jobs.find(id);
        if (job == jobs.end()) return {404, error("no job " + std::to_string(id))};
        if (job->second.state != "running" || job->second.transport == "file") {
            return {409, error("job " + std::to_string(id) + " is not running")};
        }
        transport = job->second.transport;
    }
    auto outcome = StopsFor(transport).Post(id);
    if (outcome.wait_for(stopAnswerTime) != std::future_status::ready) {
        return {504, error("the listener did not get to the job in time")};
    }
    const std::string result = outcome.get();
    if (result != "sent") return {502, error(result)};
    return {200, {{"outcome", result}}};
}

void ipm_Monitor::Changed(const ipm_JobRecord& job) {
    history.Store(job);
    if (events.HasReaders()) events.Publish("job", dump(job.ToJson()));
}
