#pragma once

#include "csp/csp_TcpSocket.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

class jcl_Entity;
class jcl_Node;

// The client end of one Jabber stream over TCP. Nothing is negotiated beyond
// the stream header and no reply is inspected: each request is followed by
// one read whose stanza goes to the handler installed for its kind.
// Not copyable; one thread at a time.
class jcl_Connection {
public:
    // Called synchronously inside Receive with the received stanza.
    using Handler = void (*)(jcl_Connection& connection, jcl_Entity& stanza);

    // An unconnected socket bound to any local address; handlers that do nothing.
    IPM_EXPORT jcl_Connection();
    IPM_EXPORT ~jcl_Connection();
    jcl_Connection(const jcl_Connection&) = delete;
    jcl_Connection& operator=(const jcl_Connection&) = delete;

    // Connects, switches keep-alives on and writes the stream header; true
    // when the header write reported a count other than 0. Raises
    // csp_NetworkException when the server cannot be reached.
    IPM_EXPORT bool Connect(const cow_String& server, int port);
    // Sends an account login and dispatches the one read that answers it.
    // Waits without limit for that read. Always true.
    IPM_EXPORT bool Authorize(const cow_String& username, const cow_String& password, const cow_String& resource);
    // Sends an account registration and dispatches the one read that answers
    // it. Waits without limit for that read. Always true.
    IPM_EXPORT bool Register(const cow_String& name, const cow_String& username, const cow_String& password);
    // Writes the stanza; a failing write is dropped. Always true.
    IPM_EXPORT bool Send(const jcl_Entity& stanza);
    // Waits up to `timeout` ms (without limit when 0 or less) for data, reads
    // once at most 2000 bytes, parses them as one document and hands a root
    // "message", "presence" or "iq" to its handler. Read errors pass out.
    IPM_EXPORT void Receive(int timeout);
    // Writes the stream's end tag and closes the socket. Always true.
    IPM_EXPORT bool Disconnect();

    // A null handler stands for one that does nothing.
    IPM_EXPORT void SetMessageHandler(Handler handler);
    IPM_EXPORT void SetPresenceHandler(Handler handler);
    IPM_EXPORT void SetIQHandler(Handler handler);

    csp_TcpSocket socket;

private:
    struct StanzaBuilder;

    static jcl_Node ParseStanza(const char* text, int length);
    void Dispatch(const jcl_Node& root);

    cow_String server;
    Handler messageHandler;
    Handler presenceHandler;
    Handler iqHandler;
};
