#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <mutex>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "tools/listen/alert/ipm_AlertBook.h"
#include "tools/listen/ingest/ipm_DocumentReader.h"
#include "tools/listen/web/ipm_EventHub.h"
#include "tools/listen/store/ipm_History.h"
#include "tools/listen/store/ipm_JobRecord.h"
#include "tools/listen/ingest/ipm_StopQueue.h"

// What the monitor knows of every job, past and present: the listeners tell
// it what their connections bring, the page asks it. Each change goes to the
// history and to the live event stream. Safe to call from any thread.
class ipm_Monitor {
public:
    // How long a stop request waits for the transport's loop to act on it.
    static constexpr auto stopAnswerTime = std::chrono::seconds(5);

    // Shows the jobs of earlier runs kept in `history`.
    explicit ipm_Monitor(ipm_History& history);
    ~ipm_Monitor();

    // A new connection of a job; its number (the job's id), or 0 when the
    // history cannot take it (reported).
    std::int64_t JobConnected(const std::string& transport, const std::string& name, const std::string& peer);
    void MessageReceived(std::int64_t job, const ipm_DocumentReader::Message& message);
    // The job's connection has ended; `orderly` when the job ended it.
    void JobEnded(std::int64_t job, bool orderly);
    // What became of a kill request: "sent" or "failed: REASON".
    void StopDone(std::int64_t job, const std::string& outcome);
    // Where the page's stop requests for jobs of `transport` wait.
    ipm_StopQueue& StopsFor(const std::string& transport);

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

    ipm_EventHub& Events() { return events; }
    ipm_History& History() { return history; }

    // Takes in the jobs other processes sharing the history (an import, a
    // second listener) have added since, and those read running before as
    // they are now, and announces each change. The page's server calls it
    // every second.
    void Refresh();

private:
    // True for the jobs of this process.
    bool Owns(std::int64_t job) const;
    // Stores and announces the job's row, after the alerts its state raises;
    // the lock is held.
    void Changed(ipm_JobRecord& job);
    // Counts the alerts on the job's row and sends them on; the lock is held.
    void Raise(ipm_JobRecord& job, const std::vector<ipm_Alert>& alerts);

    ipm_History& history;
    ipm_EventHub events;
    ipm_StopQueue directStops;
    ipm_StopQueue jabberStops;
    mutable std::mutex lock;
    std::map<std::int64_t, ipm_JobRecord> jobs;
    std::set<std::int64_t> ownJobs;
    // Serializes the reads of other processes' jobs, so that none undoes a later one.
    std::mutex refreshLock;
    // The highest job id read from the history so far.
    std::int64_t lastRead = 0;
    // Jobs of other processes that were running when last read: read again until they end.
    std::set<std::int64_t> othersRunning;
    std::atomic<std::int64_t> takenIn{0};
    std::atomic<std::int64_t> refusedByHistory{0};
    std::atomic<std::int64_t> alertsRaised{0};
    std::unique_ptr<ipm_AlertBook> alertBook;
    std::function<void(const ipm_Alert&)> raiseAlert;
};
