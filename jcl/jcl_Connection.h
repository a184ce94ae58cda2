#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "csp/csp_TcpSocket.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "jcl/jcl_Node.h"

class jcl_Entity;
class jcl_IQ;
class jcl_StanzaParser;
class jcl_TlsChannel;

// The client end of one Jabber stream over TCP, in one of two flows:
// - legacy: Connect, then Register and Authorize (plain text, requests
//   without ids, as old servers expect), or LogInLegacy (the same requests
//   with ids, every answer awaited);
// - secure: ConnectSecurely (STARTTLS, the server's certificate verified)
//   and LogIn (SASL SCRAM, or PLAIN inside TLS; resource binding; presence).
// The server's stream is parsed across reads, so every stanza of every read
// goes, once, to the handler installed for its kind. Each wait for a server
// reply during connection and login is bounded by the step time-out, and an
// expired wait raises csp_NetworkException; so is every write. After the
// secure login the owner may enable acknowledged delivery where the server
// offers it: each stanza sent is then kept until the server acknowledges it.
// Requests from the server that no IQ handler takes are answered: a ping
// with a result, any other with the error service-unavailable.
// Not copyable; one thread at a time.
class jcl_Connection {
    using Clock = std::chrono::steady_clock;

public:
    // Called synchronously inside Receive with the received stanza.
    using Handler = void (*)(jcl_Connection& connection, jcl_Entity& stanza);

    static constexpr int defaultStepTimeout = 10000;
    // The standard port of Jabber clients.
    static constexpr int defaultPort = 5222;

    // An unconnected socket bound to any local address; handlers that do nothing.
    IPM_EXPORT jcl_Connection();
    IPM_EXPORT ~jcl_Connection();
    jcl_Connection(const jcl_Connection&) = delete;
    jcl_Connection& operator=(const jcl_Connection&) = delete;

    // Connects, switches keep-alives on and writes the legacy stream header;
    // true when the header write reported a count other than 0. Raises
    // csp_NetworkException when the server cannot be reached.
    IPM_EXPORT bool Connect(const cow_String& server, int port);
    // The same to `domain` at another address.
    IPM_EXPORT bool Connect(const cow_String& domain, const cow_String& address, int port);
    // Connects to `address` and opens a stream to `domain`, requires
    // STARTTLS, verifies the server's certificate against `caFile` (the
    // system's trusted authorities when empty) and its name against `domain`,
    // and restarts the stream inside TLS. Raises csp_NetworkException saying
    // what failed.
    IPM_EXPORT void ConnectSecurely(const cow_String& domain, const cow_String& address, int port,
                                    const cow_String& caFile);
    // After ConnectSecurely: authenticates with the best mechanism offered
    // (SCRAM-SHA-256, SCRAM-SHA-1, PLAIN), binds `resource` and announces
    // presence. Raises csp_NetworkException saying why the login failed.
    IPM_EXPORT void LogIn(const cow_String& username, const cow_String& password, const cow_String& resource);
    // Sends a legacy account login and waits, within the step time-out, for
    // the server's answer or other stanzas, which are then dispatched; false
    // when the server answered with an error.
    IPM_EXPORT bool Authorize(const cow_String& username, const cow_String& password, const cow_String& resource);
    // The same for a legacy account registration. Always true: the account
    // may exist already.
    IPM_EXPORT bool Register(const cow_String& name, const cow_String& username, const cow_String& password);
    // After Connect: registers the account (one that exists already is
    // fine) and logs in, each request answered within the step time-out.
    // Raises csp_NetworkException saying why the login failed.
    IPM_EXPORT void LogInLegacy(const cow_String& username, const cow_String& password, const cow_String& resource);
    // Writes the request and waits, within the step time-out, for the "iq"
    // answer (result or error) with the request's id, which it returns;
    // stanzas that come meanwhile stay for dispatch. Raises
    // csp_NetworkException when the write fails, no answer comes in time or
    // the server ends the stream first.
    IPM_EXPORT jcl_Node Request(const jcl_Node& request, const char* step);
    IPM_EXPORT jcl_Node Request(const jcl_Entity& request, const char* step);
    // Writes the stanza; a failing write is dropped. Always true.
    IPM_EXPORT bool Send(const jcl_Entity& stanza);
    // Writes serialised stanzas in one write; a failing write is dropped.
    IPM_EXPORT void Send(const std::vector<std::string>& stanzas);
    // Writes XML text as it is; raises csp_NetworkException when it fails.
    IPM_EXPORT void SendText(const cow_String& xml);
    // Dispatches the stanzas already received; when there were none, waits
    // up to `timeout` ms (without limit when 0 or less) for data, reads once
    // and dispatches the stanzas that completed. Raises csp_NetworkException
    // when the read fails or the server's stream is not well-formed.
    IPM_EXPORT void Receive(int timeout);
    // False once the server has ended its stream or closed the connection.
    IPM_EXPORT bool IsOpen() const;
    // Writes the stream's end tag and closes the socket. Always true.
    IPM_EXPORT bool Disconnect();

    // After LogIn: enables acknowledged delivery (stream management) when
    // the server offers it; false when it does not or refuses. Raises
    // csp_NetworkException when the server does not answer in time.
    IPM_EXPORT bool EnableAcknowledgements();
    IPM_EXPORT bool Acknowledging() const { return acknowledging; }
    // Asks the server to acknowledge what it has taken; nothing without
    // acknowledged delivery. The answer is handled by the next Receive.
    IPM_EXPORT void RequestAcknowledgement();
    // Stanzas sent that the server has not acknowledged yet.
    IPM_EXPORT std::size_t Unacknowledged() const { return unacknowledged.size() + forgotten; }
    // Takes the unacknowledged stanzas, oldest first, to send them again on
    // another connection.
    IPM_EXPORT std::deque<std::string> TakeUnacknowledged();
    // The orderly end, within `milliseconds` in all: waits for the server to
    // acknowledge everything sent, ends the stream, waits for the server to
    // end its own, and closes. Returns how many stanzas stayed
    // unacknowledged (0 without acknowledged delivery). Never throws.
    IPM_EXPORT std::size_t CloseOrderly(int milliseconds);

    // A null handler stands for one that does nothing.
    IPM_EXPORT void SetMessageHandler(Handler handler);
    IPM_EXPORT void SetPresenceHandler(Handler handler);
    IPM_EXPORT void SetIQHandler(Handler handler);
    // Bounds each wait for a reply while connecting and logging in; 10000 ms
    // unless set.
    IPM_EXPORT void SetStepTimeout(int milliseconds);
    // Sees every received stanza, whatever its kind, before its handler.
    IPM_EXPORT void SetStanzaObserver(std::function<void(const jcl_Node&)> observer);

    csp_TcpSocket socket;

private:
    void Open(const cow_String& domain, const cow_String& address, int port);
    void Write(const cow_String& text);
    // The count read, 0 when the server closed, -1 when nothing came within
    // `timeout` ms.
    int ReadOnce(int timeout);
    void Feed(const char* bytes, int length);
    jcl_Node Request(const jcl_Node& request, const char* step, Clock::time_point deadline);
    jcl_Node AwaitReply(const std::string& id, const char* step, Clock::time_point deadline);
    jcl_IQ LegacyRequest(const char* queryNamespace) const;
    jcl_IQ LoginRequest(const cow_String& username, const cow_String& password, const cow_String& resource) const;
    jcl_IQ RegistrationRequest(const cow_String& name, const cow_String& username, const cow_String& password) const;
    // The answer to a legacy request, once stanzas have come within the step
    // time-out; what came is dispatched.
    std::optional<jcl_Node> AwaitLegacyAnswer(const char* step);
    void AnswerUnhandled(const jcl_Node& request);
    // The next stanza of the negotiation, within the step time-out or by `deadline`.
    jcl_Node Expect(const char* step);
    jcl_Node Expect(const char* step, Clock::time_point deadline);
    // The first stanza that `wanted` accepts, by `deadline`; the others stay
    // for dispatch.
    jcl_Node AwaitAnswer(const char* step, Clock::time_point deadline, const std::function<bool(const jcl_Node&)>& wanted);
    Clock::time_point StepDeadline() const;
    // Reads and dispatches until `done` or `deadline`; false when time ran
    // out or the server closed first.
    bool ServeUntil(Clock::time_point deadline, const std::function<bool()>& done);
    void OpenSecureStream(const char* step);
    void StartTls(const cow_String& caFile);
    void Authenticate(const cow_String& username, const cow_String& password);
    void AuthenticateScram(const char* digest, const cow_String& username, const cow_String& password);
    void Bind(const cow_String& resource);
    void DispatchReceived();
    void Dispatch(const jcl_Node& root);
    // Counts what the server sends once acknowledged delivery is on.
    void Track(const jcl_Node& stanza);
    // Handles an acknowledgement or a request for one; false for other stanzas.
    bool Manage(const jcl_Node& stanza);
    void Acknowledged(std::uint32_t handled);
    void Keep(std::string stanza);

    cow_String server;
    Handler messageHandler;
    Handler presenceHandler;
    Handler iqHandler;
    std::function<void(const jcl_Node&)> observer;
    int stepTimeout = defaultStepTimeout;
    bool serverClosed = false;
    std::unique_ptr<jcl_StanzaParser> parser;
    std::deque<jcl_Node> received;
    jcl_Node features;
    std::unique_ptr<jcl_TlsChannel> tls;

    bool acknowledging = false;
    bool enableRequested = false;
    // Stanzas received since acknowledged delivery began (the count the
    // server asks for), and those the server acknowledged of ours.
    std::uint32_t receivedCount = 0;
    std::uint32_t acknowledged = 0;
    std::deque<std::string> unacknowledged;
    std::size_t unacknowledgedBytes = 0;
    // Dropped unacknowledged when too many waited, never confirmed.
    std::size_t forgotten = 0;
};
