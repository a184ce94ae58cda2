#include "tools/listen/ingest/ipm_JabberClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "csp/csp_NetworkException.h"
#include "jcl/jcl_ErrorCondition.h"
#include "jcl/jcl_LoginOptions.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto keepAliveInterval = std::chrono::seconds(60);

std::string because(const std::string& condition) { return condition.empty() ? "" : ": " + condition; }

int millisecondsUntil(Clock::time_point moment) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(moment - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 24 * 3600 * 1000));
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
    const int port = jcl_Connection::defaultPort;
    try {
        if (settings.Secure()) {
            connection.ConnectSecurely(login.server.c_str(), login.serverAddress.c_str(), port,
                                       settings.caFile.c_str());
            connection.LogIn(login.user.c_str(), password.c_str(), login.resource.c_str());
        } else {
            connection.Connect(login.server.c_str(), login.serverAddress.c_str(), port);
            connection.LogInLegacy(login.user.c_str(), password.c_str(), login.resource.c_str());
        }
        // What came with the answers is taken now, not at the next read.
        connection.Receive(1);
    } catch (const csp_NetworkException& failure) {
        const bool unreachable = failure.getKind() == system_call_failure && !connection.socket.isConnected();
        throw std::runtime_error("cannot log in to the Jabber server at " + login.serverAddress + " port " +
                                 std::to_string(port) + " as " + login.Address() + ": " +
                                 (unreachable ? std::strerror(errno) : failure.what()));
    }
    lastSent = Clock::now();
}

ipm_JabberClient::~ipm_JabberClient() {
    try {
        connection.Disconnect();
    } catch (const csp_NetworkException&) {
        // The connection is gone already; closing is all that is left.
    }
}

int ipm_JabberClient::Descriptor() const { return connection.socket.getDescriptor(); }

// The connection answers the server's requests itself; messages,
// presences and the errors that answer the listener's own requests wait
// here to be taken.
void ipm_JabberClient::Take(const jcl_Node& node) {
    const bool failedRequest = node.tagName == "iq" && node.Attribute("type") == "error";
    if (node.tagName == "stream:error")
        streamError = jcl_ErrorCondition::Of(node);
    else if (node.tagName == "message" || node.tagName == "presence" || failedRequest)
        arrived.push_back(Stanza::From(node));
}

std::vector<ipm_JabberClient::Stanza> ipm_JabberClient::TakeEarly() { return std::exchange(arrived, {}); }

bool ipm_JabberClient::Receive(std::vector<Stanza>& stanzas, std::string& why) {
    try {
        connection.Receive(1);
    } catch (const csp_NetworkException& failure) {
        why = std::string("cannot read from the server: ") + failure.what();
        return false;
    }
    for (Stanza& stanza : arrived) stanzas.push_back(std::move(stanza));
    arrived.clear();
    if (!connection.IsOpen()) {
        why = "the server ended the stream" + because(streamError);
        return false;
    }
    return true;
}

void ipm_JabberClient::Send(std::string_view xml) {
    try {
        connection.SendText(cow_String(xml));
    } catch (const csp_NetworkException& failure) {
        throw std::runtime_error(std::string("cannot write to the server: ") + failure.what());
    }
    lastSent = Clock::now();
}

int ipm_JabberClient::KeepAlive() {
    if (Clock::now() >= lastSent + keepAliveInterval) Send(" ");
    return millisecondsUntil(lastSent + keepAliveInterval);
}
