#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "jcl/jcl_Connection.h"
#include "tools/listen/ingest/ipm_JabberStanza.h"
#include "tools/listen/ipm_ListenOptions.h"

// The listener's own connection to a Jabber server, through the library's
// connection and with the jobs' login settings: the legacy login registers
// the account (one that exists already is fine) and logs in; the secure one
// logs in to an existing account inside verified TLS. It then hands on the
// message and presence stanzas that the server sends; the library's
// connection answers the server's requests. A blank is sent now and then so
// that an idle connection stays open. Every wait is bounded.
class ipm_JabberClient {
public:
    using Stanza = ipm_JabberStanza;

    // Connects and logs in. Throws std::runtime_error saying which step
    // failed, std::invalid_argument for unusable login settings.
    explicit ipm_JabberClient(const ipm_ListenOptions::JabberLogin& login);
    // Ends the stream; never throws.
    ~ipm_JabberClient();
    ipm_JabberClient(const ipm_JabberClient&) = delete;
    ipm_JabberClient& operator=(const ipm_JabberClient&) = delete;

    // Readable when the server has sent something.
    int Descriptor() const;

    // Stanzas that came in with the answer to the login, to be served first.
    std::vector<Stanza> TakeEarly();
    // Reads once and appends the message and presence stanzas completed,
    // and the error answers to requests.
    // False, with `why`, once the server has ended the stream or the
    // connection has failed.
    bool Receive(std::vector<Stanza>& stanzas, std::string& why);
    // Writes the whole text. Throws std::runtime_error when the connection fails.
    void Send(std::string_view xml);
    // Sends a blank when the connection has been quiet for long; returns the
    // milliseconds until the next one is due.
    int KeepAlive();

private:
    void Take(const jcl_Node& node);

    jcl_Connection connection;
    std::vector<Stanza> arrived;
    // The condition of the server's stream error, once it sent one.
    std::string streamError;
    std::chrono::steady_clock::time_point lastSent;
};
