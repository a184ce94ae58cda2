#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "tools/listen/ipm_DocumentReader.h"
#include "tools/listen/ipm_EventHub.h"
#include "tools/listen/ipm_History.h"
#include "tools/listen/ipm_JobRecord.h"
#include "tools/listen/ipm_StopQueue.h"

// What the monitor knows of every job, past and present: the listeners tell
// it what their connections bring, the page asks it. Each change goes to the
// history and to the live event stream. Safe to call from any thread.
class ipm_Monitor {
public:
    // How long a stop request waits for the transport's loop to act on it.
    static constexpr auto stopAnswerTime = std::chrono::seconds(5);

    // Shows the jobs of earlier runs kept in `history`.
    explicit ipm_Monitor(ipm_History& history);

    // A new connection of a job; its number (the job's id).
    std::int64_t JobConnected(const std::string& transport, const std::string& name, const std::string& peer);
    void MessageReceived(std::int64_t job, const ipm_DocumentReader::Message& message);
    // The job's connection has ended; `orderly` when the job ended it.
    void JobEnded(std::int64_t job, bool orderly);
    // Takes in the jobs another process (an import) has added to the
    // history; one it took in running is read again until it ends.
    void Refresh();
    // What became of a kill request: "sent" or "failed: REASON".
    void StopDone(std::int64_t job, const std::string& outcome);
    // Where the page's stop requests for jobs of `transport` wait.
    ipm_StopQueue& StopsFor(const std::string& transport);

    // {"jobs":[JOB,..]}
    nlohmann::ordered_json Jobs() const;
    bool Knows(std::int64_t job) const;
    // Sends the job Kill through its loop: the HTTP status and the answer.
    std::pair<int, nlohmann::ordered_json> RequestStop(std::int64_t job);

    ipm_EventHub& Events() { return events; }
    ipm_History& History() { return history; }

private:
    // Stores and announces the job's row; the lock is held.
    void Changed(const ipm_JobRecord& job);

    ipm_History& history;
    ipm_EventHub events;
    ipm_StopQueue directStops;
    ipm_StopQueue jabberStops;
    mutable std::mutex lock;
    std::map<std::int64_t, ipm_JobRecord> jobs;
    // Jobs of other processes, taken in while they were running.
    std::set<std::int64_t> othersRunning;
    std::int64_t lastMessage = 0;
};
