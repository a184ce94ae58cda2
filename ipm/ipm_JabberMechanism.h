#pragma once

#include <deque>
#include <memory>
#include <string>

#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "ipm/ipm_TransmissionMechanism.h"
#include "jcl/jcl_Connection.h"

struct jcl_LoginOptions;

// The transport through a Jabber message server on port 5222. The job logs in
// under an account named after its host, with the job name as resource, sends
// every message document as the extension content of a chat message to the
// listener, and takes a received message whose extension content holds
// "Kill" as a kill request, and its request elements (ipm_Request) as
// requests (once the first Poll has run).
// Options: "msgserver" (the server, also the listener's domain),
// "listener_name", "listener_resource", and the login settings of
// jcl_LoginOptions ("jabber_security", "jabber_ca_file", the password
// variables). The legacy login registers the account with the account name as
// password; the secure one logs in to an account the administrator made.
class ipm_JabberMechanism : public ipm_TransmissionMechanism {
public:
    // Nothing is read or connected yet.
    IPM_EXPORT ipm_JabberMechanism();
    // Ends the stream without announcing the job unavailable; never throws.
    IPM_EXPORT ~ipm_JabberMechanism() override;

    // A fresh connection each time. False when the server cannot be
    // reached. Login settings that can never work raise
    // std::invalid_argument, a failing secure login std::runtime_error, each
    // saying why. The legacy login returns true whatever the server
    // answered; its failed reads pass out. The secure login then announces
    // the job to the listener (so that the server tells the listener when
    // the job goes) and, where the server acknowledges delivery, sends again
    // what an earlier connection could not confirm.
    bool Initialize() override;
    cow_String Encode(const char* type, const char* format, int* integers, double* doubles, char** texts,
                      bool started) override;
    std::string_view EncodeInto(ipm_DocumentRoom& room, const char* type, const char* format, int* integers,
                                double* doubles, char** texts, bool started) override;
    // Announces the job unavailable to the listener and ends the stream.
    void Close() override;
    // Close, but waits within `within` for the server to acknowledge every
    // report and to end its stream; the reports it did not acknowledge.
    long long Finish(std::chrono::milliseconds within) override;
    // Sends the document as a chat message, then serves the server for up to 10 ms.
    void Transmit(const cow_String& document) override;
    // Serves the server for up to 50 ms with the kill handler in place.
    void Poll() override;
    // One chat message per document, then the server is served once.
    void TransmitSeveral(const std::vector<std::string_view>& documents) override;

private:
    bool LogIn();
    void LogInLegacy(const cow_String& account);
    void LogInSecurely(const cow_String& account, const jcl_LoginOptions& login);
    void SendDeparture();
    // Keeps the reports the connection could not confirm, to send again.
    void KeepUnconfirmed();

    std::unique_ptr<jcl_Connection> connection;
    cow_String server;
    cow_String listenerJid;
    std::deque<std::string> unconfirmed;
};
