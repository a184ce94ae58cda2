#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/listen/ipm_CommandInput.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_StandardInput.h"
#include "tools/listen/ipm_StopRequest.h"
#include "tools/listen/ingest/ipm_JobSource.h"
#include "tools/listen/ingest/ipm_MonitorLink.h"
#include "tools/listen/ingest/ipm_ReportSink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"

// The listener's one loop, on one thread, over the job sources of every
// transport: prints the jobs' messages on standard output and reports on
// standard error; takes "kill JOB" lines on standard input and the monitor's
// stop requests, and sends the job Kill whatever its transport; sends it Kill
// by itself after --kill-after messages. "request JOB NAME [VALUE]" lines and
// the monitor's requests go the same way, or wait for a job that is away.
class ipm_Listener : private ipm_JobSource::Events {
public:
    // `requests` may be null: no requests are then sent.
    explicit ipm_Listener(const ipm_ListenOptions& options, ipm_MonitorLink* monitor = nullptr,
                          ipm_RequestBook* requests = nullptr);
    ipm_Listener(const ipm_Listener&) = delete;
    ipm_Listener& operator=(const ipm_Listener&) = delete;

    void Add(std::unique_ptr<ipm_JobSource> source);

    // Serves until a stop is asked for (ipm_StopRequest) or every source has
    // finished; throws std::exception when a source or the wait fails, or
    // standard output can no longer be written.
    void Run();

private:
    using Job = ipm_JobSource::Job;
    struct Entry {
        ipm_JobSource* source;
        Job* job;
    };

    // The milliseconds the wait may last; negative for ever.
    int Timeout() const;
    void Obey(const ipm_CommandInput::Command& command);
    void Kill(std::string_view name);
    void SendRequest(const ipm_CommandInput::Command& command);
    // "sent", or "failed: REASON".
    std::string Deliver(const Entry& entry, const ipm_Request& request);
    // "sent", "waiting" (kept for the job's return) or "failed: REASON".
    std::string ServeRequest(std::int64_t monitorId, const ipm_Request& request);
    // Null for a job that is not connected.
    ipm_JobSource* SourceOf(const Job& job) const;
    // "sent", or "failed: REASON".
    std::string SendKill(const Entry& entry);
    void ServeStopRequests();
    // Forgets the job and tells the monitor.
    void Forget(Job& job);

    void Connected(ipm_JobSource& source, Job& job, const std::string& peer) override;
    void Report(Job& job, const std::string& document) override;
    void Report(Job& job, const jcl_Node& report) override;
    void Report(Job& job, const std::string& document, const ipm_DocumentReader::Message& message) override;
    // Sends the job Kill when it has sent --kill-after messages.
    void Count(Job& job);
    void Ended(Job& job, const std::string& why) override;
    void Dropped(Job& job, const std::string& why) override;
    void RequestFailed(Job& job, const std::string& why) override;

    ipm_ReportSink sink;
    ipm_MonitorLink* monitor;
    ipm_RequestBook* requests;
    unsigned long killAfter;
    ipm_StopRequest stop;
    ipm_StandardInput input;
    ipm_CommandInput commands;
    std::vector<std::unique_ptr<ipm_JobSource>> sources;
    // The connected jobs of every source, in the order they came, and where
    // each is, so that a message finds its job's source at once.
    std::vector<Entry> jobs;
    std::unordered_map<const Job*, ipm_JobSource*> sourceOf;
    // The names of the jobs that ended in this round, so that a command of
    // the same round can tell a job just gone from one that never was.
    std::vector<std::string> gone;
};
