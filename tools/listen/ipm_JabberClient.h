#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "csp/csp_TcpSocket.h"
#include "tools/listen/ipm_ListenOptions.h"
#include "tools/listen/ipm_StanzaReader.h"

// The listener's own connection to a Jabber server: opens the stream,
// registers the account (one that exists already is fine), logs in, and then
// hands on the message and presence stanzas that the server sends. Requests
// from the server are answered here, and a blank is sent now and then so that
// an idle connection stays open. Every wait is bounded.
class ipm_JabberClient {
public:
    using Stanza = ipm_StanzaReader::Stanza;

    // Connects, registers and logs in. Throws std::runtime_error saying which
    // step failed.
    explicit ipm_JabberClient(const ipm_ListenOptions::JabberLogin& login);
    // Ends the stream; never throws.
    ~ipm_JabberClient();
    ipm_JabberClient(const ipm_JabberClient&) = delete;
    ipm_JabberClient& operator=(const ipm_JabberClient&) = delete;

    // Readable when the server has sent something.
    int Descriptor() const;

    // Stanzas that came in with the answer to the login, to be served first.
    std::vector<Stanza> TakeEarly();
    // Reads once and appends the message and presence stanzas completed.
    // False, with `why`, once the server has ended the stream or the
    // connection has failed.
    bool Receive(std::vector<Stanza>& stanzas, std::string& why);
    // Writes the whole text. Throws std::runtime_error when the connection
    // fails or the server takes nothing for a long while.
    void Send(std::string_view xml);
    // Sends a blank when the connection has been quiet for long; returns the
    // milliseconds until the next one is due.
    int KeepAlive();

private:
    void Connect(const std::string& address);
    // Sends the request and waits, bounded, for the answer with this id;
    // stanzas before it are dropped and those after it kept for TakeEarly.
    Stanza Request(const std::string& id, const std::string& xml, const std::string& step);
    // Waits at most `milliseconds` for data and reads once: the count read,
    // 0 at the end of the connection, -1 when nothing came. Requests from the
    // server are answered and a stream error is noted; the other stanzas
    // completed go to `arrived`. Throws std::runtime_error on a failed read
    // or a stream that is not well-formed.
    int ReadWithin(int milliseconds);
    void Answer(const Stanza& request);
    std::vector<Stanza> TakeArrived();

    csp_TcpSocket socket;
    ipm_StanzaReader reader;
    std::vector<Stanza> arrived;
    std::string streamError;
    std::chrono::steady_clock::time_point lastSent;
};
