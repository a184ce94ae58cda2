#include "tools/listen/ingest/ipm_JabberListener.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "tools/listen/ipm_Console.h"

namespace {

enum Slot : std::size_t { stopSlot, commandSlot, serverSlot, monitorSlot, slotCount };

// A job logs in with its name as resource: what follows the first "/".
std::string jobNameOf(const std::string& jobAddress) {
    const auto jid = jcl_Jid::Parse(jobAddress);
    return jid && !jid->resource.empty() ? jid->resource : jobAddress;
}

std::string jobText(const std::string& name) { return "job " + ipm_MessagePrinter::Token(name); }

// The stanza id of a request's message, so that the server's error names it.
const std::string requestIdPrefix = "request-";

}  // namespace

ipm_JabberListener::ipm_JabberListener(const ipm_ListenOptions& options, ipm_Monitor* monitor, bool readCommands,
                                       ipm_RequestBook* requests)
    : sink(options.mode, monitor, "jabber", requests),
      monitor(monitor),
      requests(requests),
      killAfter(options.killAfter),
      commands(readCommands ? STDIN_FILENO : -1),
      client(options.jabber.value()),
      address(options.jabber->Address()) {}

void ipm_JabberListener::Run() {
    for (const auto& stanza : client.TakeEarly()) Serve(stanza);
    for (;;) {
        ipm_Console::Flush();
        pollfd watched[slotCount] = {{stop.Descriptor(), POLLIN, 0},
                                     {commands.Descriptor(), POLLIN, 0},
                                     {client.Descriptor(), POLLIN, 0},
                                     {monitor ? monitor->StopsFor("jabber").Descriptor() : -1, POLLIN, 0}};
        if (::poll(watched, slotCount, client.KeepAlive()) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
        }
        if (watched[stopSlot].revents) return;
        if (watched[serverSlot].revents) {
            std::vector<ipm_JabberClient::Stanza> stanzas;
            std::string why;
            const bool open = client.Receive(stanzas, why);
            for (const auto& stanza : stanzas) Serve(stanza);
            if (!open) throw std::runtime_error(why);
        }
        if (watched[commandSlot].revents) {
            for (const auto& command : commands.Read()) Obey(command);
        }
        if (watched[monitorSlot].revents) ServeStopRequests();
    }
}

void ipm_JabberListener::Serve(const ipm_JabberClient::Stanza& stanza) {
    const std::string from = stanza.Attribute("from");
    const std::string type = stanza.Attribute("type");
    if (stanza.name == "presence") {
        if (type == "unavailable") ServeDeparture(from);
    } else if (type == "error") {
        ServeError(from, stanza);
    } else if (stanza.report) {
        ServeReport(from, stanza);
    } else {
        ipm_Console::Report("warning: message from " + ipm_MessagePrinter::Token(from) + " without a report ignored");
    }
}

void ipm_JabberListener::ServeReport(const std::string& from, const ipm_JabberClient::Stanza& message) {
    auto [entry, isNew] = jobs.try_emplace(from, Job{jobNameOf(from)});
    Job& job = entry->second;
    if (isNew) {
        ipm_Console::Report(jobText(job.name) + " connected as " + from);
        if (monitor) job.monitorId = monitor->JobConnected("jabber", job.name, from);
        if (requests)
            for (const ipm_Request& request : requests->TakeParked("jabber", job.name)) Deliver(from, job, request);
    }
    sink.Take(job.name, job.monitorId, *message.report, jobText(job.name));
    if (++job.messages == killAfter) SendKill(from, job);
}

// Most likely a kill request to a job that has gone.
void ipm_JabberListener::ServeError(const std::string& from, const ipm_JabberClient::Stanza& message) const {
    const std::string condition = message.errorCondition.empty() ? "no reason given" : message.errorCondition;
    if (const std::string id = message.Attribute("id"); requests && id.starts_with(requestIdPrefix)) {
        ipm_Console::Report("warning: request " + id.substr(requestIdPrefix.size()) + " to " +
                            ipm_MessagePrinter::Token(from) + " was not delivered: " + condition);
        requests->NotDelivered(std::atoi(id.c_str() + requestIdPrefix.size()));
        return;
    }
    ipm_Console::Report("warning: a message to " + ipm_MessagePrinter::Token(from) + " was not delivered: " +
                        condition);
    const auto job = jobs.find(from);
    if (monitor && job != jobs.end()) monitor->StopDone(job->second.monitorId, "failed: " + condition);
}

void ipm_JabberListener::ServeDeparture(const std::string& from) {
    const auto job = jobs.find(from);
    if (job == jobs.end()) return;
    ipm_Console::Report(jobText(job->second.name) + " disconnected");
    if (monitor) monitor->JobEnded(job->second.monitorId, true);
    jobs.erase(job);
}

void ipm_JabberListener::Kill(std::string_view name) {
    bool found = false;
    for (const auto& [jobAddress, job] : jobs) {
        if (job.name != name) continue;
        found = true;
        SendKill(jobAddress, job);
    }
    if (!found) ipm_Console::Report("no job named " + ipm_MessagePrinter::Token(name));
}

void ipm_JabberListener::SendKill(const std::string& jobAddress, const Job& job) {
    jcl_Message request;
    request.to = cow_String(std::string_view(jobAddress));
    request.type = "chat";
    request.SetX(jcl_Message::killRequest);
    ipm_Console::Report(std::string("sending ") + jcl_Message::killRequest + " to " + jobText(job.name) + " at " +
                        jobAddress);
    client.Send(std::string(request.Serialize().view()));
    if (monitor) monitor->StopDone(job.monitorId, "sent");
}

void ipm_JabberListener::ServeStopRequests() {
    for (auto& request : monitor->StopsFor("jabber").Take()) {
        if (request.request) {
            request.outcome.set_value(ServeRequest(request.job, *request.request));
            continue;
        }
        const auto job = std::find_if(jobs.begin(), jobs.end(),
                                      [&](const auto& entry) { return entry.second.monitorId == request.job; });
        if (job == jobs.end()) {
            request.outcome.set_value("failed: the job is no longer connected");
            continue;
        }
        SendKill(job->first, job->second);
        request.outcome.set_value("sent");
    }
}

void ipm_JabberListener::Obey(const ipm_CommandInput::Command& command) {
    if (command.verb == "kill") {
        Kill(command.job);
    } else {
        SendRequest(command);
    }
}

void ipm_JabberListener::SendRequest(const ipm_CommandInput::Command& command) {
    const auto job = std::find_if(jobs.begin(), jobs.end(), [&](const auto& entry) { return entry.second.name == command.job; });
    const bool connected = job != jobs.end();
    if (!requests || (!connected && !requests->Offers("jabber", command.job))) {
        ipm_Console::Report("no job named " + ipm_MessagePrinter::Token(command.job));
        return;
    }
    std::string why;
    const auto request = requests->Create("jabber", command.job, connected ? job->second.monitorId : 0, command.name,
                                          command.value, why);
    if (!request) {
        ipm_Console::Report("request not sent: " + why);
        return;
    }
    if (connected) {
        Deliver(job->first, job->second, *request);
        return;
    }
    requests->Park(*request);
    ipm_Console::Report(jobText(command.job) + " is not connected: request " + std::to_string(request->id) +
                        " waits for it to connect again");
}

void ipm_JabberListener::Deliver(const std::string& jobAddress, const Job& job, const ipm_Request& request) {
    jcl_Message message;
    message.to = cow_String(std::string_view(jobAddress));
    message.id = cow_String(requestIdPrefix + std::to_string(request.id));
    message.type = "chat";
    message.SetX(cow_String(request.Element()));
    ipm_Console::Report("sending request " + std::to_string(request.id) + " " + request.name + " to " +
                        jobText(job.name) + " at " + jobAddress);
    client.Send(std::string(message.Serialize().view()));
    requests->Delivered(request.id);
}

std::string ipm_JabberListener::ServeRequest(std::int64_t monitorId, const ipm_Request& request) {
    const auto job = std::find_if(jobs.begin(), jobs.end(),
                                  [&](const auto& entry) { return entry.second.monitorId == monitorId; });
    if (job == jobs.end()) {
        requests->Park(request);
        return "waiting";
    }
    Deliver(job->first, job->second, request);
    return "sent";
}
