#include "tools/listen/ingest/ipm_JabberClient.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "csp/csp_NetworkException.h"
#include "jcl/jcl_LoginOptions.h"
#include "tools/listen/ingest/ipm_XmlEscape.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int serverPort = 5222;
constexpr auto answerBound = std::chrono::seconds(10);
constexpr auto keepAliveInterval = std::chrono::seconds(60);
// A server that takes nothing for this long is treated as gone (the secure
// stream bounds its writes itself).
constexpr time_t sendTimeoutSeconds = 10;
const std::string registerId = "ipm-listen-register";
const std::string loginId = "ipm-listen-login";

std::string because(const std::string& condition) { return condition.empty() ? "" : ": " + condition; }

int millisecondsUntil(Clock::time_point moment) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
}

bool isRequest(const ipm_JabberStanza& stanza) {
    return stanza.name == "iq" && (stanza.Attribute("type") == "get" || stanza.Attribute("type") == "set");
}

std::string credentials(const ipm_ListenOptions::JabberLogin& login, const std::string& password) {
    return "<username>" + ipm_XmlEscape::Text(login.user) + "</username><password>" + ipm_XmlEscape::Text(password) +
           "</password>";
}

std::string setRequest(const std::string& id, const std::string& space, const std::string& content) {
    return "<iq type=\"set\" id=\"" + id + "\"><query xmlns=\"" + space + "\">" + content + "</query></iq>";
}

}  // namespace

ipm_JabberClient::ipm_JabberClient(const ipm_ListenOptions::JabberLogin& login) {
    jcl_LoginOptions settings = jcl_LoginOptions::Read(login.security, login.caFile);
    if (login.passwordGiven) {
        settings.password = login.password;
        settings.passwordSource = "--password";
    }
    settings.CheckPassword();
    connection.SetStanzaObserver([this](const jcl_Node& node) { Take(node); });
    const std::string password = settings.password.value_or(login.password);
    try {
        if (settings.Secure()) {
            connection.ConnectSecurely(login.server.c_str(), login.serverAddress.c_str(), serverPort,
                                       settings.caFile.c_str());
            connection.LogIn(login.user.c_str(), password.c_str(), login.resource.c_str());
        } else {
            connection.Connect(login.server.c_str(), login.serverAddress.c_str(), serverPort);
            const timeval limit{sendTimeoutSeconds, 0};
            ::setsockopt(Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            LogInLegacy(login, password);
        }
    } catch (const csp_NetworkException& failure) {
        const bool unreachable = failure.getKind() == system_call_failure && !connection.socket.isConnected();
        throw std::runtime_error("cannot log in to the Jabber server at " + login.serverAddress + " port " +
                                 std::to_string(serverPort) + " as " + login.Address() + ": " +
                                 (unreachable ? std::strerror(errno) : failure.what()));
    }
    lastSent = Clock::now();
}

void ipm_JabberClient::LogInLegacy(const ipm_ListenOptions::JabberLogin& login, const std::string& password) {
    // A refused registration is no reason to stop: the account may exist.
    Request(registerId, setRequest(registerId, "jabber:iq:register", credentials(login, password)),
            "registration of " + login.user + "@" + login.server);
    const std::string resource = "<resource>" + ipm_XmlEscape::Text(login.resource) + "</resource>";
    const Stanza answer =
        Request(loginId, setRequest(loginId, "jabber:iq:auth", credentials(login, password) + resource), "login");
    if (answer.Attribute("type") != "result") {
        throw std::runtime_error("the server refused the login as " + login.Address() +
                                 because(answer.errorCondition));
    }
}

ipm_JabberClient::~ipm_JabberClient() {
    try {
        connection.Disconnect();
    } catch (const csp_NetworkException&) {
        // The connection is gone already; closing is all that is left.
    }
}

int ipm_JabberClient::Descriptor() const { return connection.socket.getDescriptor(); }

ipm_JabberClient::Stanza ipm_JabberClient::Request(const std::string& id, const std::string& xml,
                                                   const std::string& step) {
    Send(xml);
    const auto deadline = Clock::now() + answerBound;
    for (;;) {
        const auto answer = std::find_if(arrived.begin(), arrived.end(), [&](const Stanza& stanza) {
            return stanza.name == "iq" && stanza.Attribute("id") == id;
        });
        if (answer != arrived.end()) {
            Stanza found = std::move(*answer);
            arrived.erase(arrived.begin(), answer + 1);
            return found;
        }
        arrived.clear();
        if (!connection.IsOpen()) {
            throw std::runtime_error("the server ended the stream at the " + step + because(streamError));
        }
        if (Clock::now() >= deadline) throw std::runtime_error("the server did not answer the " + step);
        connection.Receive(std::max(1, millisecondsUntil(deadline)));
    }
}

// Requests from the server are answered at once; the rest waits to be taken.
void ipm_JabberClient::Take(const jcl_Node& node) {
    Stanza stanza = Stanza::From(node);
    if (stanza.name == "stream:error")
        streamError = stanza.child;
    else if (isRequest(stanza))
        Answer(stanza);
    else
        arrived.push_back(std::move(stanza));
}

// Every request gets an answer; a ping is the only one understood.
void ipm_JabberClient::Answer(const Stanza& request) {
    std::string reply = "<iq id=\"" + ipm_XmlEscape::Attribute(request.Attribute("id")) + "\"";
    const std::string from = request.Attribute("from");
    if (!from.empty()) reply += " to=\"" + ipm_XmlEscape::Attribute(from) + "\"";
    if (request.child == "ping" && request.childNamespace == "urn:xmpp:ping") {
        Send(reply + " type=\"result\"/>");
        return;
    }
    Send(reply + " type=\"error\"><error type=\"cancel\"><service-unavailable "
                 "xmlns=\"urn:ietf:params:xml:ns:xmpp-stanzas\"/></error></iq>");
}

std::vector<ipm_JabberClient::Stanza> ipm_JabberClient::TakeEarly() { return TakeArrived(); }

bool ipm_JabberClient::Receive(std::vector<Stanza>& stanzas, std::string& why) {
    try {
        connection.Receive(1);
    } catch (const csp_NetworkException& failure) {
        why = std::string("cannot read from the server: ") + failure.what();
        return false;
    }
    for (Stanza& stanza : TakeArrived()) stanzas.push_back(std::move(stanza));
    if (!connection.IsOpen()) {
        why = "the server ended the stream" + because(streamError);
        return false;
    }
    return true;
}

// The messages and presences, and the errors that answer the listener's
// own requests; answers to the login's requests of the past are dropped.
std::vector<ipm_JabberClient::Stanza> ipm_JabberClient::TakeArrived() {
    std::vector<Stanza> taken;
    for (Stanza& stanza : arrived) {
        const bool failedRequest = stanza.name == "iq" && stanza.Attribute("type") == "error";
        if (stanza.name == "message" || stanza.name == "presence" || failedRequest) taken.push_back(std::move(stanza));
    }
    arrived.clear();
    return taken;
}

void ipm_JabberClient::Send(std::string_view xml) {
    try {
        connection.SendText(std::string(xml).c_str());
    } catch (const csp_NetworkException& failure) {
        throw std::runtime_error(std::string("cannot write to the server: ") + failure.what());
    }
    lastSent = Clock::now();
}

int ipm_JabberClient::KeepAlive() {
    if (Clock::now() >= lastSent + keepAliveInterval) Send(" ");
    return millisecondsUntil(lastSent + keepAliveInterval);
}
