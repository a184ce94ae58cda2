#pragma once

#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/listen/ipm_CommandInput.h"
#include "tools/listen/ipm_JobConnection.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_MessagePrinter.h"
#include "tools/listen/ipm_StopRequest.h"

// Accepts jobs on a TCP port and prints their messages on standard output;
// reports on standard error; takes "kill JOB" lines on standard input. One
// thread, one poll loop.
class ipm_Listener {
public:
    // Binds and listens; throws std::runtime_error when it cannot.
    explicit ipm_Listener(const ipm_ListenOptions& options);
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
    void Kill(std::string_view name);
    // False when the job has gone.
    bool ServeJob(ipm_JobConnection& job, short events);
    void HandlePiece(ipm_JobConnection& job, const ipm_DocumentSplitter::Piece& piece);
    void QueueKill(ipm_JobConnection& job);
    void Flush(ipm_JobConnection& job);

    ipm_MessagePrinter printer;
    unsigned long killAfter;
    ipm_StopRequest stop;
    ipm_CommandInput commands;
    int listening = -1;
    std::string address;
    std::chrono::steady_clock::time_point acceptPausedUntil{};
    std::vector<std::unique_ptr<ipm_JobConnection>> jobs;
};
