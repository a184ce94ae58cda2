#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "tools/listen/ingest/ipm_JabberClient.h"
#include "tools/listen/ingest/ipm_JobSource.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/store/ipm_Vocabulary.h"

// Jobs that report through a message server: logged in under its own
// address, the listener takes the reports that jobs send there as chat
// messages, each job named by the resource of its address, and sends a job
// a request at that address.
class ipm_JabberSource : public ipm_JobSource {
public:
    // Logs in; throws std::runtime_error when it cannot.
    explicit ipm_JabberSource(const ipm_ListenOptions& options);

    // USER@SERVER/RESOURCE.
    const std::string& Address() const { return address; }

    const char* Transport() const override { return ipm_Vocabulary::jabber.data(); }
    void Watch(csp_WaitSet& waits) override;
    // Due at once while stanzas that came with the login wait; else when the
    // connection is to be kept alive.
    int Timeout() override;
    void Serve(void* item, unsigned found, Events& events) override;
    // Throws std::runtime_error when the server ends the stream.
    void Settle(Events& events) override;
    std::string Send(Job& job, const std::string& request) override;

private:
    using Clock = std::chrono::steady_clock;
    // A job quiet for this long is asked whether it is still there: the
    // server answers for a job whose connection has gone.
    static constexpr auto probeInterval = std::chrono::seconds(3);

    struct AddressedJob : Job {
        std::string address;
        // The last message from it or probe to it.
        Clock::time_point lastContact = Clock::now();
    };

    void Serve(const ipm_JabberClient::Stanza& stanza, Events& events);
    void ServeReport(const std::string& from, const ipm_JabberClient::Stanza& message, Events& events);
    void ServeError(const std::string& from, const ipm_JabberClient::Stanza& message, Events& events);
    void ServeDeparture(const std::string& from, Events& events);
    // Probes the jobs quiet for a while; the milliseconds until the next is due.
    int ProbeQuietJobs();

    ipm_JabberClient client;
    std::string address;
    std::vector<ipm_JabberClient::Stanza> early;
    // By the full address each job's reports come from.
    std::map<std::string, AddressedJob> jobs;
    unsigned long long probes = 0;
    Watched watched{this, nullptr};
    // The connection was found readable by the last wait.
    bool readable = false;
};
