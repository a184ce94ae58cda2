#include "ipm/ipm_JabberMechanism.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "ipm/impl/ipm_DeliverySettings.h"
#include "ipm/impl/ipm_RequestDesk.h"
#include "ipm/ipm_Request.h"
#include "ipm/ipm_MessageTransmit.h"
#include "jcl/jcl_Jid.h"
#include "jcl/jcl_LoginOptions.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

namespace {

constexpr std::string_view accountSuffix = "kvjobs";
constexpr int initialServeMilliseconds = 1000;
constexpr int transmitServeMilliseconds = 10;
constexpr int pollServeMilliseconds = 50;

// In the legacy flow the password and registration name are the account name too.
cow_String accountName() {
    cow_String account = utl_getHostName();
    account += accountSuffix;
    return account;
}

void takeRequests(const jcl_Node& extension) {
    for (const jcl_Node& child : extension.children) {
        if (child.tagName != "request") continue;
        if (const auto request =
                ipm_Request::FromAttributes(child.Attribute("id"), child.Attribute("name"), child.Attribute("value")))
            ipm_RequestDesk::Instance().Receive(*request);
    }
}

void KillHandler(jcl_Connection&, jcl_Entity& stanza) {
    const jcl_Message* message = dynamic_cast<const jcl_Message*>(&stanza);
    if (!message) return;
    for (const jcl_Node& extension : message->xElements) takeRequests(extension);
    if (message->x.Contains(jcl_Message::killRequest)) eli_setkillsig();
}

// The connection's read and write drop failures and the stream's end; the
// message task must hear of them to log in again. A connection never made
// has nothing to lose.
void requireOpen(const jcl_Connection& connection) {
    if (!connection.socket.isConnected()) return;
    if (!connection.socket.isGood() || connection.socket.isAtEndOfFile())
        throw csp_NetworkException(read_failed, "the message server closed the connection");
}

}  // namespace

ipm_JabberMechanism::ipm_JabberMechanism() : connection(std::make_unique<jcl_Connection>()) {}

ipm_JabberMechanism::~ipm_JabberMechanism() {
    try {
        connection->Disconnect();
    } catch (...) {
        // The connection's own destruction closes what is left.
    }
}

bool ipm_JabberMechanism::Initialize() {
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    server = options.ConstGetValue("msgserver");
    const jcl_Jid listener{std::string(options.ConstGetValue("listener_name").view()), std::string(server.view()),
                           std::string(options.ConstGetValue("listener_resource").view())};
    listenerJid = cow_String(listener.Format());

    KeepUnconfirmed();
    connection = std::make_unique<jcl_Connection>();
    connection->SetStepTimeout(static_cast<int>(
        thr_GlobalSingleton<ipm_MessageTransmit>::Instance().Settings().networkTimeout.count()));
    return LogIn();
}

// Failures of the legacy exchange pass out as they always have; a server
// that cannot be reached is only retried.
bool ipm_JabberMechanism::LogIn() {
    const cow_String account = accountName();
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    const std::string refused = "no Jabber login to " + std::string(server.view()) + " as " +
                                std::string(account.view()) + ": ";
    std::optional<jcl_LoginOptions> login;
    try {
        login = jcl_LoginOptions::Read(options.ConstGetValue("jabber_security").view(),
                                       options.ConstGetValue("jabber_ca_file").view());
        login->CheckPassword();
    } catch (const std::invalid_argument& failure) {
        throw std::invalid_argument(refused + failure.what());
    }
    try {
        if (login->Secure()) {
            LogInSecurely(account, *login);
            return true;
        }
        connection->Connect(server, jcl_Connection::defaultPort);
    } catch (const csp_NetworkException& failure) {
        if (!connection->socket.isConnected()) return false;
        if (!login->Secure()) throw;
        throw std::runtime_error(refused + failure.what());
    }
    if (!connection->socket.isConnected()) return false;
    LogInLegacy(account);
    return true;
}

void ipm_JabberMechanism::LogInLegacy(const cow_String& account) {
    connection->Register(account, account, account);
    connection->Authorize(account, account, jobName);
    connection->Receive(initialServeMilliseconds);
}

cow_String ipm_JabberMechanism::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) {
    return ipm_MessageDocument::jabber.Build(type, format, integers, doubles, texts, started, jobName);
}

std::string_view ipm_JabberMechanism::EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format,
                                                 int* integers, double* doubles, char** texts, bool started) {
    return ipm_MessageDocument::jabber.BuildInto(room, type, format, integers, doubles, texts, started, jobName);
}

// The legacy login's bytes stay as they always were: only the secure one
// announces the job to the listener.
void ipm_JabberMechanism::LogInSecurely(const cow_String& account, const jcl_LoginOptions& login) {
    connection->ConnectSecurely(server, server, jcl_Connection::defaultPort, login.caFile.c_str());
    connection->LogIn(account, login.password->c_str(), jobName);
    connection->EnableAcknowledgements();
    jcl_Presence arrival;
    arrival.to = listenerJid;
    connection->Send(arrival);
    if (!unconfirmed.empty()) {
        connection->Send(std::vector<std::string>(unconfirmed.begin(), unconfirmed.end()));
        unconfirmed.clear();
    }
    connection->RequestAcknowledgement();
}

void ipm_JabberMechanism::KeepUnconfirmed() {
    if (!connection) return;
    for (std::string& stanza : connection->TakeUnacknowledged())
        if (stanza.rfind("<message", 0) == 0) unconfirmed.push_back(std::move(stanza));
}

void ipm_JabberMechanism::SendDeparture() {
    jcl_Presence departure;
    departure.to = listenerJid;
    departure.type = "unavailable";
    connection->Send(departure);
}

void ipm_JabberMechanism::Close() {
    SendDeparture();
    connection->Disconnect();
}

long long ipm_JabberMechanism::Finish(std::chrono::milliseconds within) {
    SendDeparture();
    long long left = static_cast<long long>(connection->CloseOrderly(static_cast<int>(within.count())));
    for (const std::string& stanza : connection->TakeUnacknowledged())
        if (stanza.rfind("<message", 0) != 0) --left;
    return left + static_cast<long long>(unconfirmed.size());
}

void ipm_JabberMechanism::Transmit(const cow_String& document) { TransmitSeveral({document.view()}); }

// The server is served once per batch, not once per document, so a backlog
// goes out at the network's pace.
void ipm_JabberMechanism::TransmitSeveral(const std::vector<std::string_view>& documents) {
    jcl_Message report;
    report.to = listenerJid;
    report.type = "chat";
    std::vector<std::string> stanzas;
    stanzas.reserve(documents.size());
    for (std::string_view document : documents) {
        report.SetX(cow_String(document));
        stanzas.emplace_back(report.Serialize().view());
    }
    connection->Send(stanzas);
    connection->RequestAcknowledgement();
    requireOpen(*connection);
    connection->Receive(transmitServeMilliseconds);
}

void ipm_JabberMechanism::Poll() {
    connection->SetMessageHandler(KillHandler);
    connection->Receive(pollServeMilliseconds);
    requireOpen(*connection);
}
