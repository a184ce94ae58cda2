#include "tools/listen/store/ipm_Monitor.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_MessagePrinter.h"
#include "tools/listen/store/ipm_Vocabulary.h"

namespace {

using Json = nlohmann::ordered_json;

std::int64_t now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json error(const std::string& why) { return {{"error", why}}; }

}  // namespace

ipm_Monitor::ipm_Monitor(ipm_History& history, std::chrono::seconds silentAfter)
    : history(history), silentAfter(std::chrono::milliseconds(silentAfter).count()) {
    Refresh();
    history.OnStored([this](std::int64_t id, ipm_MessageRecord& message) {
        if (!events.HasReaders()) return;
        message.Encode();
        events.Publish("message", "{\"job\":" + std::to_string(message.job) + ",\"message\":" + message.ToJson(id) + "}");
    });
}

// The history outlives the monitor and must stop announcing to it;
// it keeps the latest counts.
ipm_Monitor::~ipm_Monitor() {
    AnnounceCounted();
    history.OnStored(nullptr);
}

std::int64_t ipm_Monitor::JobConnected(const std::string& transport, const std::string& name,
                                       const std::string& peer) {
    ipm_JobRecord job;
    job.name = name;
    job.transport = transport;
    job.peer = peer;
    job.started = now();
    try {
        job.id = history.AddJob(job);
    } catch (const std::exception& error) {
        ipm_Console::Report("warning: job " + ipm_MessagePrinter::Token(name) +
                            " is not shown: the history does not take it: " + error.what());
        return 0;
    }
    const std::int64_t id = job.id;
    std::lock_guard guard(lock);
    ownJobs.insert(id);
    Changed(jobs.insert_or_assign(id, std::move(job)).first->second);
    return id;
}

void ipm_Monitor::MessageReceived(std::int64_t id, const ipm_DocumentReader::Message& message) {
    if (!Owns(id)) return;
    // Filled again for each message: the history hands back one it wrote.
    thread_local ipm_MessageRecord record;
    record.Take(message);
    record.job = id;
    record.time = now();
    const std::int64_t arrival = record.time;
    // Counted only once queued, so that the row says what the history holds.
    if (history.Store(std::move(record)) == 0) {
        ++refusedByHistory;
        return;
    }
    ++takenIn;
    std::lock_guard guard(lock);
    ipm_JobRecord& job = jobs.at(id);
    job.Count(message, arrival);
    if (alertBook) Raise(job, alertBook->OnMessage(job, message, arrival));
    Counted(job, arrival);
}

void ipm_Monitor::JobEnded(std::int64_t id) {
    std::lock_guard guard(lock);
    const auto job = jobs.find(id);
    if (job == jobs.end()) return;
    job->second.End(now());
    Changed(job->second);
}

void ipm_Monitor::ListenerEnded() {
    std::lock_guard guard(lock);
    for (const std::int64_t id : ownJobs) {
        ipm_JobRecord& job = jobs.at(id);
        if (!job.Live()) continue;
        job.state = ipm_Vocabulary::unreachable;
        Changed(job);
    }
}

void ipm_Monitor::MarkSilent() {
    std::lock_guard guard(lock);
    const std::int64_t at = now();
    for (const std::int64_t id : ownJobs) {
        ipm_JobRecord& job = jobs.at(id);
        if (!job.FallenSilent(at, silentAfter)) continue;
        job.state = ipm_Vocabulary::silent;
        Changed(job);
    }
}

void ipm_Monitor::StopDone(std::int64_t id, const std::string& outcome) {
    std::lock_guard guard(lock);
    const auto job = jobs.find(id);
    if (job == jobs.end()) return;
    job->second.stopOutcome = outcome;
    if (outcome != "sent" && job->second.Live()) job->second.state = ipm_Vocabulary::unreachable;
    Changed(job->second);
}

bool ipm_Monitor::Owns(std::int64_t id) const {
    std::lock_guard guard(lock);
    return ownJobs.count(id) != 0;
}

void ipm_Monitor::Refresh() {
    MarkSilent();
    AnnounceCounted();
    std::lock_guard serial(refreshLock);
    std::int64_t from = 0;
    {
        std::lock_guard guard(lock);
        from = lastRead + 1;
        if (!othersRunning.empty()) from = std::min(from, *othersRunning.begin());
    }
    std::vector<ipm_JobRecord> stored = history.Jobs(from);
    std::lock_guard guard(lock);
    for (auto& job : stored) {
        lastRead = std::max(lastRead, job.id);
        // A job of this process may be read before it is marked as one.
        if (ownJobs.count(job.id)) {
            othersRunning.erase(job.id);
            continue;
        }
        const auto known = jobs.find(job.id);
        if (known != jobs.end() && known->second.ToJson() == job.ToJson()) continue;
        if (job.Live()) {
            othersRunning.insert(job.id);
        } else {
            othersRunning.erase(job.id);
        }
        if (events.HasReaders()) events.Publish("job", dump(job.ToJson()));
        jobs.insert_or_assign(job.id, std::move(job));
    }
}

Json ipm_Monitor::Jobs() {
    Refresh();
    std::lock_guard guard(lock);
    Json list = Json::array();
    for (const auto& [id, job] : jobs) {
        list.push_back(job.ToJson());
        if (requests && ownJobs.count(id)) list.back().update(requests->Json(job.transport, job.name, id));
    }
    return {{"jobs", std::move(list)}};
}

bool ipm_Monitor::Knows(std::int64_t id) {
    {
        std::lock_guard guard(lock);
        if (jobs.count(id)) return true;
    }
    Refresh();
    std::lock_guard guard(lock);
    return jobs.count(id) != 0;
}

std::optional<std::pair<int, Json>> ipm_Monitor::RefuseSending(std::int64_t id, std::string& transport,
                                                                std::string& name) const {
    std::lock_guard guard(lock);
    const auto job = jobs.find(id);
    if (job == jobs.end()) return std::pair{404, error("no job " + std::to_string(id))};
    if (!ownJobs.count(id))
        return std::pair{409, error("job " + std::to_string(id) + " is served by another listener")};
    if (!job->second.Live() || job->second.transport == ipm_Vocabulary::file) {
        return std::pair{409, error("job " + std::to_string(id) + " is not running")};
    }
    transport = job->second.transport;
    name = job->second.name;
    return std::nullopt;
}

std::pair<int, Json> ipm_Monitor::RequestStop(std::int64_t id) {
    std::string transport, name;
    if (auto refusal = RefuseSending(id, transport, name)) return *refusal;
    auto outcome = stops.Post(id);
    if (outcome.wait_for(stopAnswerTime) != std::future_status::ready) {
        return {504, error("the listener did not get to the job in time")};
    }
    const std::string result = outcome.get();
    if (result != "sent") return {502, error(result)};
    return {200, {{"outcome", result}}};
}

void ipm_Monitor::WatchFor(std::vector<ipm_AlertRule> rules, std::function<void(const ipm_Alert&)> raise) {
    std::lock_guard guard(lock);
    alertBook = std::make_unique<ipm_AlertBook>(std::move(rules));
    raiseAlert = std::move(raise);
}

Json ipm_Monitor::Alerts(std::int64_t job) {
    std::lock_guard guard(lock);
    return alertBook ? alertBook->Recent(job) : Json{{"alerts", Json::array()}};
}

void ipm_Monitor::Raise(ipm_JobRecord& job, const std::vector<ipm_Alert>& alerts) {
    for (const ipm_Alert& alert : alerts) {
        ++job.alerts;
        ++alertsRaised;
        if (events.HasReaders()) events.Publish("alert", dump(alert.ToJson()));
        if (raiseAlert) raiseAlert(alert);
    }
}

void ipm_Monitor::UseRequests(ipm_RequestBook& book) {
    requests = &book;
    book.OnChange([this](std::int64_t id) {
        if (!events.HasReaders()) return;
        Json changed = Requests(id);
        changed["job"] = id;
        events.Publish("requests", dump(changed));
    });
}

Json ipm_Monitor::Requests(std::int64_t id) {
    std::string transport, name;
    {
        std::lock_guard guard(lock);
        const auto job = jobs.find(id);
        if (job != jobs.end() && ownJobs.count(id)) {
            transport = job->second.transport;
            name = job->second.name;
        }
    }
    if (!requests || transport.empty()) return {{"offered", Json::array()}, {"requests", Json::array()}};
    return requests->Json(transport, name, id);
}

std::pair<int, Json> ipm_Monitor::SendRequest(std::int64_t id, const std::string& requestName,
                                              const std::string& value) {
    std::string transport, jobName;
    if (auto refusal = RefuseSending(id, transport, jobName)) return *refusal;
    if (!requests) return {409, error("this listener sends no requests")};
    std::string why;
    const auto request = requests->Create(transport, jobName, id, requestName, value, why);
    if (!request) {
        const bool wellFormed = ipm_Request::ValidName(requestName) && ipm_Request::ValidValue(value);
        return {wellFormed ? 409 : 400, error(why)};
    }
    auto outcome = stops.Post(id, *request);
    if (outcome.wait_for(stopAnswerTime) != std::future_status::ready) {
        return {504, error("the listener did not get to the job in time")};
    }
    const std::string result = outcome.get();
    if (result == "sent") return {200, {{"id", request->id}, {"state", "requested"}}};
    if (result == "waiting") return {202, {{"id", request->id}, {"state", "requested"}, {"waiting", true}}};
    requests->NotDelivered(request->id);
    return {502, error(result)};
}

void ipm_Monitor::Changed(ipm_JobRecord& job) {
    if (alertBook) Raise(job, alertBook->OnState(job, now()));
    history.Store(job);
    countedSince.erase(job.id);
    announced[job.id] = now();
    if (events.HasReaders()) events.Publish("job", dump(job.ToJson()));
}

void ipm_Monitor::Counted(ipm_JobRecord& job, std::int64_t time) {
    const auto last = announced.find(job.id);
    if (last != announced.end() && time - last->second < countInterval) {
        countedSince.insert(job.id);
        return;
    }
    Changed(job);
}

// A slice of rows at a time: with thousands of jobs, holding the lock for
// all of them would hold up the listener's messages meanwhile. A row just
// announced waits countInterval before it is counted again, so this ends.
void ipm_Monitor::AnnounceCounted() {
    for (bool more = true; more; std::this_thread::yield()) {
        std::lock_guard guard(lock);
        for (std::size_t done = 0; done < announceSlice && !countedSince.empty(); ++done) {
            const auto job = jobs.find(*countedSince.begin());
            if (job == jobs.end()) {
                countedSince.erase(countedSince.begin());
            } else {
                Changed(job->second);
            }
        }
        more = !countedSince.empty();
    }
}
