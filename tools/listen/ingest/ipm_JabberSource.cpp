#include "tools/listen/ingest/ipm_JabberSource.h"

#include <algorithm>
#include <stdexcept>

#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_XmlWriter.h"
#include "tools/listen/ipm_Console.h"
#include "tools/listen/ipm_MessagePrinter.h"

namespace {

// A job logs in with its name as resource: what follows the first "/".
std::string jobNameOf(const std::string& jobAddress) {
    const auto jid = jcl_Jid::Parse(jobAddress);
    return jid && !jid->resource.empty() ? jid->resource : jobAddress;
}

constexpr std::string_view probePrefix = "probe-";

// A ping request, which every client answers and a server answers for a
// client that is not there.
std::string pingTo(const std::string& address, const std::string& id) {
    jcl_Node ping;
    ping.SetTagName("ping");
    ping.InsertAttribute("xmlns", "urn:xmpp:ping");
    jcl_Node iq;
    iq.SetTagName("iq");
    iq.InsertAttribute("type", "get");
    iq.InsertAttribute("id", cow_String(std::string_view(id)));
    iq.InsertAttribute("to", cow_String(std::string_view(address)));
    iq.Append(ping);
    return jcl_XmlWriter::Element(iq);
}

}  // namespace

ipm_JabberSource::ipm_JabberSource(const ipm_ListenOptions& options)
    : client(options.jabber.value()), address(options.jabber->Address()), early(client.TakeEarly()) {}

void ipm_JabberSource::Watch(csp_WaitSet& waits) const { waits.add(client.Descriptor()); }

int ipm_JabberSource::Timeout() { return early.empty() ? std::min(client.KeepAlive(), ProbeQuietJobs()) : 0; }

void ipm_JabberSource::Serve(std::span<const unsigned> found, Events& events) {
    std::vector<ipm_JabberClient::Stanza> stanzas;
    stanzas.swap(early);
    std::string why;
    const bool open = !found[0] || client.Receive(stanzas, why);
    for (const auto& stanza : stanzas) Serve(stanza, events);
    if (!open) throw std::runtime_error(why);
}

void ipm_JabberSource::Serve(const ipm_JabberClient::Stanza& stanza, Events& events) {
    const std::string from = stanza.Attribute("from");
    const std::string type = stanza.Attribute("type");
    if (stanza.name == "presence") {
        if (type == "unavailable") ServeDeparture(from, events);
    } else if (stanza.name == "iq") {
        // Only a probe's error comes here: the job is not connected.
        if (stanza.Attribute("id").starts_with(probePrefix)) ServeDeparture(from, events);
    } else if (type == "error") {
        ServeError(from, stanza, events);
    } else if (stanza.report) {
        ServeReport(from, stanza, events);
    } else {
        ipm_Console::Report("warning: message from " + ipm_MessagePrinter::Token(from) + " without a report ignored");
    }
}

void ipm_JabberSource::ServeReport(const std::string& from, const ipm_JabberClient::Stanza& message, Events& events) {
    auto [entry, isNew] = jobs.try_emplace(from);
    AddressedJob& job = entry->second;
    job.lastContact = Clock::now();
    if (isNew) {
        job.name = jobNameOf(from);
        job.address = from;
        ipm_Console::Report(ipm_MessagePrinter::JobText(job.name) + " connected as " + from);
        events.Connected(*this, job, from);
    }
    events.Report(job, *message.report);
}

// Most likely a kill request to a job that has gone.
void ipm_JabberSource::ServeError(const std::string& from, const ipm_JabberClient::Stanza& message, Events& events) {
    const std::string condition = message.errorCondition.empty() ? "no reason given" : message.errorCondition;
    const auto job = jobs.find(from);
    if (job != jobs.end()) {
        events.RequestFailed(job->second, condition);
        return;
    }
    ipm_Console::Report("warning: a message to " + ipm_MessagePrinter::Token(from) + " was not delivered: " +
                        condition);
}

void ipm_JabberSource::ServeDeparture(const std::string& from, Events& events) {
    const auto job = jobs.find(from);
    if (job == jobs.end()) return;
    events.Ended(job->second, "");
    jobs.erase(job);
}

// A job answers the ping, or ignores it; only the server answers it with an
// error, once the job's connection has gone, even when the job never
// announced itself.
int ipm_JabberSource::ProbeQuietJobs() {
    const Clock::time_point now = Clock::now();
    Clock::time_point next = now + probeInterval;
    for (auto& [jobAddress, job] : jobs) {
        if (now - job.lastContact >= probeInterval) {
            client.Send(pingTo(jobAddress, std::string(probePrefix) + std::to_string(++probes)));
            job.lastContact = now;
        }
        next = std::min(next, job.lastContact + probeInterval);
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

std::string ipm_JabberSource::Send(Job& job, const std::string& request) {
    const auto& addressed = static_cast<const AddressedJob&>(job);
    jcl_Message message;
    message.to = cow_String(std::string_view(addressed.address));
    message.type = "chat";
    message.SetX(request.c_str());
    ipm_Console::Report("sending " + request + " to " + ipm_MessagePrinter::JobText(job.name) + " at " +
                        addressed.address);
    client.Send(std::string(message.Serialize().view()));
    return "";
}
