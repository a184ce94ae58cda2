#pragma once

#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/listen/ipm_CommandInput.h"
#include "tools/listen/ingest/ipm_JobConnection.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/store/ipm_Monitor.h"
#include "tools/listen/ingest/ipm_ReportSink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/ipm_StopRequest.h"

// Accepts jobs on a TCP port and prints their messages on standard output;
// reports on standard error; takes "kill JOB" and "request JOB NAME [VALUE]"
// lines on standard input; tells the monitor, when there is one, and takes
// its stop requests and requests. One thread,
// one poll loop. The unfinished documents of all jobs together hold at most
// ipm_HeldBytesBound::defaultTotal bytes.
class ipm_Listener {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    explicit ipm_Listener(const ipm_ListenOptions& options, ipm_Monitor* monitor = nullptr,
                          ipm_RequestBook* requests = nullptr);
    ~ipm_Listener();
    ipm_Listener(const ipm_Listener&) = delete;
    ipm_Listener& operator=(const ipm_Listener&) = delete;

    // "ADDR:PORT" as bound, the port resolved when 0 was asked for.
    const std::string& Address() const { return address; }

    // Serves until SIGINT or SIGTERM; throws std::runtime_error when standard
    // output can no longer be written.
    void Run();

private:
    std::vector<pollfd> WatchList(bool accepting) const;
    int MillisecondsToResume() const;
    void AcceptJobs();
    // Serves the polled jobs; the names of those gone, which are removed.
    std::vector<std::string> ServeJobs(const std::vector<pollfd>& watched);
    // `gone`: the jobs that ended in this round.
    void Kill(std::string_view name, const std::vector<std::string>& gone);
    // False when the job has gone.
    bool ServeJob(ipm_JobConnection& job, short events);
    void HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece);
    // "sent", or "failed: REASON".
    std::string QueueKill(ipm_JobConnection& job);
    void Obey(const ipm_CommandInput::Command& command, const std::vector<std::string>& gone);
    // A request typed on the terminal: to the connected job of that name, or
    // kept for it when it is away but has offered requests.
    void SendRequest(const ipm_CommandInput::Command& command);
    // "sent", or "failed: REASON".
    std::string QueueRequest(ipm_JobConnection& job, const ipm_Request& request);
    // A request from the page: "sent", "waiting", or "failed: REASON".
    std::string ServeRequest(std::int64_t monitorId, const ipm_Request& request);
    // The requests kept for a job of this name, once it has connected.
    void DeliverParked(ipm_JobConnection& job);
    bool Flush(ipm_JobConnection& job);
    void ServeStopRequests();
    void DropHeaviest();
    void Ended(const ipm_JobConnection& job, bool orderly);

    ipm_ReportSink sink;
    ipm_Monitor* monitor;
    ipm_RequestBook* requests;
    unsigned long killAfter;
    ipm_StopRequest stop;
    ipm_CommandInput commands;
    int listening = -1;
    std::string address;
    std::chrono::steady_clock::time_point acceptPausedUntil{};
    std::vector<std::unique_ptr<ipm_JobConnection>> jobs;
};
