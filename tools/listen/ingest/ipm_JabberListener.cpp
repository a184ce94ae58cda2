#include "tools/listen/ingest/ipm_JabberListener.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_XmlWriter.h"
#include "tools/listen/ipm_Console.h"

namespace {

enum Slot : std::size_t { stopSlot, commandSlot, serverSlot, monitorSlot, slotCount };

// A job logs in with its name as resource: what follows the first "/".
std::string jobNameOf(const std::string& jobAddress) {
    const auto jid = jcl_Jid::Parse(jobAddress);
    return jid && !jid->resource.empty() ? jid->resource : jobAddress;
}

std::string jobText(const std::string& name) { return "job " + ipm_MessagePrinter::Token(name); }

constexpr std::string_view probePrefix = "probe-";

}  // namespace

ipm_JabberListener::ipm_JabberListener(const ipm_ListenOptions& options, ipm_Monitor* monitor, bool readCommands)
    : sink(options.mode, monitor),
      monitor(monitor),
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
        if (::poll(watched, slotCount, std::min(client.KeepAlive(), ProbeQuietJobs())) < 0) {
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
            for (const std::string& name : commands.Read()) Kill(name);
        }
        if (watched[monitorSlot].revents) ServeStopRequests();
    }
}

void ipm_JabberListener::Serve(const ipm_JabberClient::Stanza& stanza) {
    const std::string from = stanza.Attribute("from");
    const std::string type = stanza.Attribute("type");
    if (stanza.name == "presence") {
        if (type == "unavailable") ServeDeparture(from);
    } else if (stanza.name == "iq") {
        // Only a probe's answer comes here: the job is not connected.
        if (stanza.Attribute("id").starts_with(probePrefix)) ServeDeparture(from);
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
    job.lastContact = Clock::now();
    if (isNew) {
        ipm_Console::Report(jobText(job.name) + " connected as " + from);
        if (monitor) job.monitorId = monitor->JobConnected("jabber", job.name, from);
    }
    sink.Take(job.name, job.monitorId, *message.report, jobText(job.name));
    if (++job.messages == killAfter) SendKill(from, job);
}

// Most likely a kill request to a job that has gone.
void ipm_JabberListener::ServeError(const std::string& from, const ipm_JabberClient::Stanza& message) const {
    const std::string condition = message.errorCondition.empty() ? "no reason given" : message.errorCondition;
    ipm_Console::Report("warning: a message to " + ipm_MessagePrinter::Token(from) + " was not delivered: " +
                        condition);
    const auto job = jobs.find(from);
    if (monitor && job != jobs.end()) monitor->StopDone(job->second.monitorId, "failed: " + condition);
}

void ipm_JabberListener::ServeDeparture(const std::string& from) {
    const auto job = jobs.find(from);
    if (job == jobs.end()) return;
    ipm_Console::Report(jobText(job->second.name) + " disconnected");
    if (monitor) monitor->JobEnded(job->second.monitorId);
    jobs.erase(job);
}

// A job answers the ping, or ignores it; only the server answers it with an
// error, once the job's connection has gone, even when the job never
// announced itself.
int ipm_JabberListener::ProbeQuietJobs() {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + probeInterval;
    for (auto& [jobAddress, job] : jobs) {
        if (now - job.lastContact >= probeInterval) {
            client.Send("<iq type=\"get\" id=\"" + std::string(probePrefix) + std::to_string(++probes) + "\" to=\"" +
                        jcl_XmlWriter::Attribute(jobAddress) + "\"><ping xmlns=\"urn:xmpp:ping\"/></iq>");
            job.lastContact = now;
        }
        next = std::min(next, job.lastContact + probeInterval);
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
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
