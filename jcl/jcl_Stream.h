#pragma once

#include <exception>
#include <memory>

#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"
#include "jcl/jcl_Node.h"

class jcl_StanzaParser;

// Reads an endless XML document from a connected socket and hands every
// element that opens at `stanzaDepth` (1 = the root) to HandleStanza once it
// has closed. Derive and override HandleStanza; the base prints the stanza.
// Elements nested more than jcl_Node::maxBuiltDepth levels inside a stanza
// are left out of its tree.
class IPM_EXPORT jcl_Stream {
public:
    // `socket` must be connected; hand it over with auto-close switched off,
    // the stream then ends the connection when destroyed. Raises
    // csp_NetworkException for an unknown server or a socket without a local
    // address, and std::invalid_argument for a stanza depth below 1.
    jcl_Stream(const cow_String& server, unsigned int port, int stanzaDepth, csp_TcpSocket socket);
    // Disconnects (failures are dropped) and closes the socket.
    virtual ~jcl_Stream();
    jcl_Stream(const jcl_Stream&) = delete;
    jcl_Stream& operator=(const jcl_Stream&) = delete;

    // Takes the other socket's descriptor, auto-close flag and state; the old
    // descriptor is left as it is, and so is the parse.
    void SetSocket(const csp_TcpSocket& other);
    // One read of at most 2000 bytes, parsed up to the first zero byte;
    // HandleStanza runs inside. Returns what the socket's read returned.
    // Malformed XML is not reported; the parse simply ends there. What
    // HandleStanza raises is raised again once the read's parse is done.
    int Read();
    // Waits for data and reads it, until the end of the stream or a closed or
    // failed socket; network errors pass out.
    void Process();
    // Writes the text once; returns the count written.
    int Write(const cow_String& text);

    // Called once per finished stanza.
    virtual void HandleStanza(jcl_Node& stanza);

private:
    IPM_HIDDEN void FinishStanza(jcl_Node& stanza);

    csp_TcpSocket socket;
    std::unique_ptr<jcl_StanzaParser> parser;
    csp_SocketAddress serverAddress;
    // What HandleStanza raised inside the parser, raised again once it returns.
    std::exception_ptr handlerFailure;
};
