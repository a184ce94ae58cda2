#include "tools/listen/ipm_JabberClient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/csp_SocketAddress.h"
#include "tools/listen/ipm_XmlEscape.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int serverPort = 5222;
constexpr auto answerBound = std::chrono::seconds(10);
constexpr auto keepAliveInterval = std::chrono::seconds(60);
// A server that takes nothing for this long is treated as gone.
constexpr time_t sendTimeoutSeconds = 10;
constexpr int readSize = 16 * 1024;
const std::string registerId = "ipm-listen-register";
const std::string loginId = "ipm-listen-login";
const std::string streamEnd = "</stream:stream>";

// What went wrong, read before anything else can change errno.
std::string networkFailure(const csp_NetworkException& failure) {
    if (failure.getKind() == system_call_failure) return std::strerror(errno);
    return std::string(failure.getKindMessage().view());
}

std::string credentials(const ipm_ListenOptions::JabberLogin& login) {
    return "<username>" + ipm_XmlEscape::Text(login.user) + "</username><password>" +
           ipm_XmlEscape::Text(login.password) + "</password>";
}

std::string setRequest(const std::string& id, const std::string& space, const std::string& content) {
    return "<iq type=\"set\" id=\"" + id + "\"><query xmlns=\"" + space + "\">" + content + "</query></iq>";
}

std::string because(const std::string& condition) { return condition.empty() ? "" : ": " + condition; }

int millisecondsUntil(Clock::time_point moment) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
}

bool isRequest(const ipm_StanzaReader::Stanza& stanza) {
    return stanza.name == "iq" && (stanza.Attribute("type") == "get" || stanza.Attribute("type") == "set");
}

}  // namespace

ipm_JabberClient::ipm_JabberClient(const ipm_ListenOptions::JabberLogin& login) {
    Connect(login.serverAddress);
    Send("<?xml version=\"1.0\"?><stream:stream xmlns=\"jabber:client\" "
         "xmlns:stream=\"http://etherx.jabber.org/streams\" to=\"" +
         ipm_XmlEscape::Attribute(login.server) + "\">");
    // A refused registration is no reason to stop: the account may exist.
    Request(registerId, setRequest(registerId, "jabber:iq:register", credentials(login)),
            "registration of " + login.user + "@" + login.server);
    const std::string resource = "<resource>" + ipm_XmlEscape::Text(login.resource) + "</resource>";
    const Stanza answer =
        Request(loginId, setRequest(loginId, "jabber:iq:auth", credentials(login) + resource), "login");
    if (answer.Attribute("type") != "result") {
        throw std::runtime_error("the server refused the login as " + login.Address() +
                                 because(answer.errorCondition));
    }
}

ipm_JabberClient::~ipm_JabberClient() {
    try {
        socket.write(streamEnd.data(), static_cast<int>(streamEnd.size()));
    } catch (const csp_NetworkException&) {
        // The connection is gone already; closing is all that is left.
    }
}

int ipm_JabberClient::Descriptor() const { return socket.getDescriptor(); }

void ipm_JabberClient::Connect(const std::string& address) {
    try {
        socket.connectTo(csp_SocketAddress(csp_IpAddress(cow_String(address)), serverPort));
        socket.setKeepAlives(true);
    } catch (const csp_NetworkException& failure) {
        throw std::runtime_error("cannot reach the Jabber server at " + address + " port " +
                                 std::to_string(serverPort) + ": " + networkFailure(failure));
    }
    const timeval limit{sendTimeoutSeconds, 0};
    ::setsockopt(Descriptor(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

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
        if (reader.Ended()) {
            throw std::runtime_error("the server ended the stream at the " + step + because(streamError));
        }
        if (Clock::now() >= deadline) throw std::runtime_error("the server did not answer the " + step);
        if (ReadWithin(millisecondsUntil(deadline)) == 0) {
            throw std::runtime_error("the server closed the connection at the " + step + because(streamError));
        }
    }
}

int ipm_JabberClient::ReadWithin(int milliseconds) {
    pollfd watched{Descriptor(), POLLIN, 0};
    if (::poll(&watched, 1, milliseconds) <= 0) return -1;
    char buffer[readSize];
    int received = 0;
    try {
        received = socket.read(buffer, readSize);
    } catch (const csp_NetworkException& failure) {
        throw std::runtime_error("cannot read from the server: " + networkFailure(failure));
    }
    if (received < 0) throw std::runtime_error("cannot read from the server");
    for (Stanza& stanza : reader.Feed(std::string_view(buffer, static_cast<std::size_t>(received)))) {
        if (stanza.name == "stream:error") {
            streamError = stanza.errorCondition;
        } else if (isRequest(stanza)) {
            Answer(stanza);
        } else {
            arrived.push_back(std::move(stanza));
        }
    }
    return received;
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
    int received = 0;
    try {
        received = ReadWithin(0);
    } catch (const std::runtime_error& failure) {
        why = failure.what();
        return false;
    }
    for (Stanza& stanza : TakeArrived()) stanzas.push_back(std::move(stanza));
    if (reader.Ended()) {
        why = "the server ended the stream" + because(streamError);
        return false;
    }
    if (received == 0) {
        why = "the server closed the connection" + because(streamError);
        return false;
    }
    return true;
}

// The messages and presences; answers to requests of the past are dropped.
std::vector<ipm_JabberClient::Stanza> ipm_JabberClient::TakeArrived() {
    std::vector<Stanza> taken;
    for (Stanza& stanza : arrived) {
        if (stanza.name == "message" || stanza.name == "presence") taken.push_back(std::move(stanza));
    }
    arrived.clear();
    return taken;
}

void ipm_JabberClient::Send(std::string_view xml) {
    while (!xml.empty()) {
        int sent = -1;
        try {
            sent = socket.write(xml.data(), static_cast<int>(xml.size()));
        } catch (const csp_NetworkException& failure) {
            throw std::runtime_error("cannot write to the server: " + networkFailure(failure));
        }
        if (sent <= 0) throw std::runtime_error("cannot write to the server");
        xml.remove_prefix(static_cast<std::size_t>(sent));
    }
    lastSent = Clock::now();
}

int ipm_JabberClient::KeepAlive() {
    if (Clock::now() >= lastSent + keepAliveInterval) Send(" ");
    return millisecondsUntil(lastSent + keepAliveInterval);
}
