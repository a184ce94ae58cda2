#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "tools/listen/ipm_CommandInput.h"
#include "tools/listen/ingest/ipm_JabberClient.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/store/ipm_Monitor.h"
#include "tools/listen/ingest/ipm_ReportSink.h"
#include "tools/listen/ingest/ipm_RequestBook.h"
#include "tools/listen/ipm_StopRequest.h"

// The listener in Jabber mode: logged in to a message server under its own
// address, it prints the reports that jobs send there as chat messages, each
// job named by the resource of its address, and sends a job a kill request
// at that address, and requests beside it. Standard output, standard error and standard input are
// used as in the direct mode, standard input only when `readCommands`. Tells
// the monitor, when there is one, and takes its stop requests. One thread,
// one poll loop.
class ipm_JabberListener {
public:
    // Logs in; throws std::runtime_error when it cannot.
    ipm_JabberListener(const ipm_ListenOptions& options, ipm_Monitor* monitor = nullptr, bool readCommands = true,
                       ipm_RequestBook* requests = nullptr);

    // USER@SERVER/RESOURCE.
    const std::string& Address() const { return address; }

    // Serves until SIGINT or SIGTERM; throws std::runtime_error when the
    // server ends the stream or standard output can no longer be written.
    void Run();

private:
    struct Job {
        std::string name;
        std::size_t messages = 0;
        std::int64_t monitorId = 0;
    };

    void Serve(const ipm_JabberClient::Stanza& stanza);
    void ServeReport(const std::string& from, const ipm_JabberClient::Stanza& message);
    void ServeError(const std::string& from, const ipm_JabberClient::Stanza& message) const;
    void ServeDeparture(const std::string& from);
    void Kill(std::string_view name);
    void SendKill(const std::string& jobAddress, const Job& job);
    void ServeStopRequests();
    void Obey(const ipm_CommandInput::Command& command);
    // A request typed on the terminal: to the connected job of that name, or
    // kept for it when it is away but has offered requests.
    void SendRequest(const ipm_CommandInput::Command& command);
    // A chat message with the request; the server's error, if any, names it.
    void Deliver(const std::string& jobAddress, const Job& job, const ipm_Request& request);
    // A request from the page: "sent" or "waiting".
    std::string ServeRequest(std::int64_t monitorId, const ipm_Request& request);

    ipm_ReportSink sink;
    ipm_Monitor* monitor;
    ipm_RequestBook* requests;
    unsigned long killAfter;
    ipm_StopRequest stop;
    ipm_CommandInput commands;
    ipm_JabberClient client;
    std::string address;
    // By the full address each job's reports come from.
    std::map<std::string, Job> jobs;
};
