#include "ipm/ipm_JabberMechanism.h"

#include <string_view>

#include "csp/csp_NetworkException.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "foundation/utl_system.h"
#include "ipm/impl/ipm_MessageDocument.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

namespace {

constexpr int serverPort = 5222;
constexpr std::string_view accountSuffix = "kvjobs";
constexpr int initialServeMilliseconds = 1000;
constexpr int transmitServeMilliseconds = 10;
constexpr int pollServeMilliseconds = 50;

// Password and registration name are the account name too.
cow_String accountName() {
    cow_String account = utl_getHostName();
    account += accountSuffix;
    return account;
}

void KillHandler(jcl_Connection&, jcl_Entity& stanza) {
    const jcl_Message* message = dynamic_cast<const jcl_Message*>(&stanza);
    if (message && message->x.Contains("Kill")) eli_setkillsig();
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

ipm_JabberMechanism::ipm_JabberMechanism() = default;

ipm_JabberMechanism::~ipm_JabberMechanism() {
    try {
        connection.Disconnect();
    } catch (...) {
        // The connection's own destruction closes what is left.
    }
}

bool ipm_JabberMechanism::Initialize() {
    const utl_CommandLine& options = thr_GlobalSingleton<utl_CommandLine>::Instance();
    server = options.ConstGetValue("msgserver");
    listenerJid = options.ConstGetValue("listener_name");
    listenerJid += '@';
    listenerJid += server;
    listenerJid += '/';
    listenerJid += options.ConstGetValue("listener_resource");

    // A fresh socket, so the mechanism can start again after a failure.
    connection.socket = csp_TcpSocket(csp_TcpSocket::BindAnyAddress);
    // Bounds each wait for the server during the login (joins with the
    // connection's step time limit).
    // TODO(jabber): connection.SetStepTimeout(networkTimeout) once jcl_Connection offers it.
    try {
        connection.Connect(server, serverPort);
    } catch (const csp_NetworkException&) {
        return false;
    }
    const cow_String account = accountName();
    if (!connection.socket.isConnected()) return false;
    connection.Register(account, account, account);
    connection.Authorize(account, account, jobName);
    connection.Receive(initialServeMilliseconds);
    return true;
}

cow_String ipm_JabberMechanism::Encode(const char* type, const char* format, int* integers, double* doubles,
                                       char** texts, bool started) {
    return ipm_MessageDocument::jabber.Build(type, format, integers, doubles, texts, started, jobName);
}

void ipm_JabberMechanism::Close() {
    jcl_Presence departure;
    departure.to = listenerJid;
    departure.type = "unavailable";
    connection.Send(departure);
    connection.Disconnect();
}

void ipm_JabberMechanism::Transmit(const cow_String& document) { TransmitSeveral({document.view()}); }

// The server is served once per batch, not once per document, so a backlog
// goes out at the network's pace.
void ipm_JabberMechanism::TransmitSeveral(const std::vector<std::string_view>& documents) {
    jcl_Message report;
    report.to = listenerJid;
    report.type = "chat";
    for (std::string_view document : documents) {
        report.SetX(cow_String(document));
        connection.Send(report);
    }
    requireOpen(connection);
    connection.Receive(transmitServeMilliseconds);
}

void ipm_JabberMechanism::Poll() {
    connection.SetMessageHandler(KillHandler);
    connection.Receive(pollServeMilliseconds);
    requireOpen(connection);
}
