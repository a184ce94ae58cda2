#include "tools/listen/ingest/ipm_Listener.h"

#include <algorithm>

#include "csp/csp_WaitSet.h"
#include "jcl/jcl_Message.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_MessagePrinter.h"

namespace {

std::string jobText(const ipm_JobSource::Job& job) { return ipm_MessagePrinter::JobText(job.name); }

}  // namespace

ipm_Listener::ipm_Listener(const ipm_ListenOptions& options, ipm_MonitorLink* monitor, ipm_RequestBook* requests)
    : sink(options.mode, monitor, requests),
      monitor(monitor),
      requests(requests),
      killAfter(options.killAfter) {}

void ipm_Listener::Add(std::unique_ptr<ipm_JobSource> source) { sources.push_back(std::move(source)); }

// The stop, the commands and the monitor are keyed by their own objects;
// everything else a source registered, keyed by an ipm_JobSource::Watched.
void ipm_Listener::Run() {
    csp_WaitSet waits;
    stop.Watch(waits, &stop);
    input.Watch(waits, &input);
    if (monitor) waits.add(monitor->Stops().Wake(), monitor);
    for (const auto& source : sources) source->Watch(waits);
    const auto finished = [](const auto& source) { return source->Finished(); };
    while (!std::all_of(sources.begin(), sources.end(), finished)) {
        ipm_Console::Flush();
        const std::span<csp_WaitSet::Ready> ready = waits.wait(Timeout());
        if (std::any_of(ready.begin(), ready.end(), [&](const auto& found) { return found.key == &stop; })) return;

        // Jobs gone in this round leave before the commands of the round are
        // served, so that no Kill goes to an ended connection.
        gone.clear();
        bool commandReady = false;
        bool monitorReady = false;
        // Serving one may remove another found in the same wait: its events
        // are then 0.
        for (const csp_WaitSet::Ready& found : ready) {
            if (found.events == 0) continue;
            if (found.key == &input) {
                commandReady = true;
            } else if (monitor && found.key == monitor) {
                monitorReady = true;
            } else {
                const auto& watched = *static_cast<const ipm_JobSource::Watched*>(found.key);
                watched.source->Serve(watched.item, found.events, *this);
            }
        }
        for (const auto& source : sources) source->Settle(*this);
        if (monitor) monitor->RoundServed();
        if (commandReady) {
            for (const auto& command : commands.Feed(input.Take())) Obey(command);
        }
        if (monitorReady) ServeStopRequests();
    }
}

int ipm_Listener::Timeout() const {
    int shortest = -1;
    for (const auto& source : sources) {
        const int wait = source->Timeout();
        if (wait >= 0 && (shortest < 0 || wait < shortest)) shortest = wait;
    }
    return shortest;
}

void ipm_Listener::Obey(const ipm_CommandInput::Command& command) {
    if (command.verb == "kill") {
        Kill(command.job);
    } else {
        SendRequest(command);
    }
}

void ipm_Listener::Kill(std::string_view name) {
    // A copy: sending may end a job, which then leaves the list.
    std::vector<Entry> named;
    std::copy_if(jobs.begin(), jobs.end(), std::back_inserter(named),
                 [&](const Entry& entry) { return entry.job->name == name; });
    for (const Entry& entry : named) SendKill(entry);
    if (!named.empty()) return;
    const bool justGone = std::find(gone.begin(), gone.end(), name) != gone.end();
    ipm_Console::Report(justGone ? std::string(jcl_Message::killRequest) + " not sent: " + ipm_MessagePrinter::JobText(name) + " has gone"
                                 : "no job named " + ipm_MessagePrinter::Token(name));
}

std::string ipm_Listener::SendKill(const Entry& entry) {
    Job& job = *entry.job;
    const std::string why = entry.source->Send(job, jcl_Message::killRequest);
    if (!why.empty()) {
        RequestFailed(job, why);
        return "failed: " + why;
    }
    if (monitor) monitor->StopDone(job.monitorId, "sent");
    return "sent";
}

void ipm_Listener::SendRequest(const ipm_CommandInput::Command& command) {
    const auto entry = std::find_if(jobs.begin(), jobs.end(),
                                    [&](const Entry& known) { return known.job->name == command.job; });
    const bool connected = entry != jobs.end();
    // A job away is known by the transport it offered requests on.
    std::string transport = connected ? entry->source->Transport() : "";
    for (const auto& source : sources)
        if (!connected && requests && requests->Offers(source->Transport(), command.job)) transport = source->Transport();
    if (!requests || transport.empty()) {
        ipm_Console::Report("no job named " + ipm_MessagePrinter::Token(command.job));
        return;
    }
    std::string why;
    const auto request = requests->Create(transport, command.job, connected ? entry->job->monitorId : 0, command.name,
                                          command.value, why);
    if (!request) {
        ipm_Console::Report("request not sent: " + why);
    } else if (connected) {
        Deliver(*entry, *request);
    } else {
        requests->Park(*request);
        ipm_Console::Report(ipm_MessagePrinter::JobText(command.job) + " is not connected: request " +
                            std::to_string(request->id) + " waits for it to connect again");
    }
}

std::string ipm_Listener::Deliver(const Entry& entry, const ipm_Request& request) {
    const std::string why = entry.source->Send(*entry.job, request.Element());
    if (!why.empty()) return "failed: " + why;
    requests->Delivered(request.id);
    return "sent";
}

std::string ipm_Listener::ServeRequest(std::int64_t monitorId, const ipm_Request& request) {
    const auto entry = std::find_if(jobs.begin(), jobs.end(),
                                    [&](const Entry& known) { return known.job->monitorId == monitorId; });
    if (entry != jobs.end()) return Deliver(*entry, request);
    requests->Park(request);
    return "waiting";
}

ipm_JobSource* ipm_Listener::SourceOf(const Job& job) const {
    const auto found = sourceOf.find(&job);
    return found == sourceOf.end() ? nullptr : found->second;
}

void ipm_Listener::ServeStopRequests() {
    for (auto& request : monitor->Stops().Take()) {
        if (request.request) {
            request.outcome.set_value(ServeRequest(request.job, *request.request));
            continue;
        }
        const auto entry = std::find_if(jobs.begin(), jobs.end(),
                                        [&](const Entry& known) { return known.job->monitorId == request.job; });
        request.outcome.set_value(entry == jobs.end() ? "failed: the job is no longer connected" : SendKill(*entry));
    }
}

void ipm_Listener::Connected(ipm_JobSource& source, Job& job, const std::string& peer) {
    if (monitor) job.monitorId = monitor->JobConnected(source.Transport(), job.name, peer);
    jobs.push_back({&source, &job});
    sourceOf[&job] = &source;
    if (!requests) return;
    const Entry entry = jobs.back();
    for (const ipm_Request& request : requests->TakeParked(source.Transport(), job.name)) Deliver(entry, request);
}

void ipm_Listener::Report(Job& job, const std::string& document) {
    const ipm_JobSource* source = SourceOf(job);
    sink.Take(job.name, job.monitorId, document, jobText(job), source ? source->Transport() : "");
    Count(job);
}

void ipm_Listener::Report(Job& job, const jcl_Node& report) {
    const ipm_JobSource* source = SourceOf(job);
    sink.Take(job.name, job.monitorId, report, jobText(job), source ? source->Transport() : "");
    Count(job);
}

void ipm_Listener::Report(Job& job, const std::string& document, const ipm_DocumentReader::Message& message) {
    const ipm_JobSource* source = SourceOf(job);
    sink.Take(job.name, job.monitorId, document, message, jobText(job), source ? source->Transport() : "");
    Count(job);
}

void ipm_Listener::Count(Job& job) {
    if (++job.messages != killAfter) return;
    if (ipm_JobSource* source = SourceOf(job)) SendKill({source, &job});
}

void ipm_Listener::Ended(Job& job, const std::string& why) {
    ipm_Console::Report(jobText(job) + " disconnected" + (why.empty() ? "" : ": " + why));
    Forget(job);
}

void ipm_Listener::Dropped(Job& job, const std::string& why) {
    ipm_Console::Report("warning: " + jobText(job) + " dropped: " + why);
    Forget(job);
}

void ipm_Listener::RequestFailed(Job& job, const std::string& why) {
    ipm_Console::Report(std::string("warning: cannot send ") + jcl_Message::killRequest + " to " + jobText(job) + ": " +
                        why);
    if (monitor) monitor->StopDone(job.monitorId, "failed: " + why);
}

void ipm_Listener::Forget(Job& job) {
    if (!sourceOf.erase(&job)) return;
    const auto entry = std::find_if(jobs.begin(), jobs.end(), [&](const Entry& known) { return known.job == &job; });
    if (monitor) monitor->JobEnded(job.monitorId);
    gone.push_back(job.name);
    jobs.erase(entry);
}
