#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "tools/listen/alert/ipm_AlertBook.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/web/ipm_EventHub.h"
#include "tools/listen/store/ipm_History.h"
#include "tools/listen/store/ipm_JobRecord.h"
#include "tools/listen/ingest/ipm_MonitorLink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/ingest/ipm_StopQueue.h"

// What the monitor knows of every job, past and present: the listeners tell
// it what their connections bring, the page asks it. Each change goes to the
// history and to the live event stream. Safe to call from any thread.
class ipm_Monitor : public ipm_MonitorLink {
public:
    // How long a stop request waits for the transport's loop to act on it.
    static constexpr auto stopAnswerTime = std::chrono::seconds(5);

    // Shows the jobs of earlier runs kept in `history`; a running job is
    // silent after `silentAfter` without a message at the least.
    ipm_Monitor(ipm_History& history, std::chrono::seconds silentAfter);
    ~ipm_Monitor();

    // 0 from JobConnected when the history cannot take the job.
    std::int64_t JobConnected(const std::string& transport, const std::string& name,
                              const std::string& peer) override;
    void MessageReceived(std::int64_t job, const ipm_DocumentReader::Message& message) override;
    void JobEnded(std::int64_t job) override;
    // The listener stops following its jobs (it ends, or lost its link to
    // the message server): those still live are unreachable.
    void ListenerEnded();
    void StopDone(std::int64_t job, const std::string& outcome) override;
    void RoundServed() override { history.CommitJobs(); }
    ipm_StopQueue& Stops() override { return stops; }

    // {"jobs":[JOB,..]}: this process's jobs as they are now, and those of
    // other processes sharing the history (an import, say) as last stored.
    nlohmann::ordered_json Jobs();
    bool Knows(std::int64_t job);
    // Sends the job Kill through its loop: the HTTP status and the answer.
    std::pair<int, nlohmann::ordered_json> RequestStop(std::int64_t job);

    // Judges every message and state change of this process's jobs by
    // `rules`; each alert goes to the event stream and to `raise`, which
    // must not block.
    void WatchFor(std::vector<ipm_AlertRule> rules, std::function<void(const ipm_Alert&)> raise);
    // {"alerts":[..]}: the latest, newest first; only the job's unless 0.
    nlohmann::ordered_json Alerts(std::int64_t job);

    // What this process has taken in since it started.
    struct Counts {
        std::int64_t messages = 0;
        // Messages the history could not take (reported as they happen).
        std::int64_t refused = 0;
        std::int64_t alerts = 0;
    };
    Counts IngestCounts() const { return {takenIn, refusedByHistory, alertsRaised}; }
    // Requests beside Kill go through `book`, which tells the page of each
    // change as a "requests" event.
    void UseRequests(ipm_RequestBook& book);
    // Sends the job a request it offered, through its loop: the HTTP status
    // and the answer ({"id","state"}, or {"error"}).
    std::pair<int, nlohmann::ordered_json> SendRequest(std::int64_t job, const std::string& name,
                                                       const std::string& value);
    // The job's offered requests and its requests (ipm_RequestBook::Json).
    nlohmann::ordered_json Requests(std::int64_t job);

    ipm_EventHub& Events() { return events; }
    ipm_History& History() { return history; }

    // Marks the jobs fallen silent; takes in the jobs other processes
    // sharing the history (an import, a second listener) have added since,
    // and those read live before as they are now; announces each change,
    // and the rows whose counts changed since they were last announced.
    // The page's server calls it every second.
    void Refresh();

private:
    // True for the jobs of this process.
    bool Owns(std::int64_t job) const;
    // The HTTP refusal when nothing can be sent to the job; else its
    // transport and name.
    std::optional<std::pair<int, nlohmann::ordered_json>> RefuseSending(std::int64_t job, std::string& transport,
                                                                        std::string& name) const;
    // Stores and announces the job's row, after the alerts its state raises;
    // the lock is held.
    void Changed(ipm_JobRecord& job);
    // Counts the alerts on the job's row and sends them on; the lock is held.
    void Raise(ipm_JobRecord& job, const std::vector<ipm_Alert>& alerts);
    void MarkSilent();
    // The same for a new message: stored and announced at most every
    // `countInterval` per job (the rest by Refresh, or with the job's next
    // change), so that many jobs' messages do not each cost a row.
    void Counted(ipm_JobRecord& job, std::int64_t now);
    void AnnounceCounted();

    static constexpr std::int64_t countInterval = 1000;  // ms
    // Rows announced by AnnounceCounted per hold of the lock.
    static constexpr std::size_t announceSlice = 64;

    ipm_History& history;
    const std::int64_t silentAfter;
    ipm_EventHub events;
    ipm_RequestBook* requests = nullptr;
    // When each job's row was last stored; those whose counts changed since.
    std::map<std::int64_t, std::int64_t> announced;
    std::set<std::int64_t> countedSince;
    ipm_StopQueue stops;
    mutable std::mutex lock;
    std::map<std::int64_t, ipm_JobRecord> jobs;
    std::set<std::int64_t> ownJobs;
    // Serializes the reads of other processes' jobs, so that none undoes a later one.
    std::mutex refreshLock;
    // The highest job id read from the history so far.
    std::int64_t lastRead = 0;
    // Jobs of other processes that were live when last read: read again until they end.
    std::set<std::int64_t> othersRunning;
    std::atomic<std::int64_t> takenIn{0};
    std::atomic<std::int64_t> refusedByHistory{0};
    std::atomic<std::int64_t> alertsRaised{0};
    std::unique_ptr<ipm_AlertBook> alertBook;
    std::function<void(const ipm_Alert&)> raiseAlert;
};
