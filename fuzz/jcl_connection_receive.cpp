// What a server sends to a Jabber connection: each input is written to the
// connection's socket and taken apart by Receive, one read of at most 2000
// bytes at a time, until nothing is left. The handlers read every field of
// the stanza they are handed.

#include <cstddef>
#include <cstdint>
#include <span>

#include "csp/csp_TcpSocket.h"
#include "fuzz/support/fuzz_SocketPair.h"
#include "fuzz/support/fuzz_sink.h"
#include "fuzz/support/fuzz_socket.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"

namespace {

void TouchEntity(const jcl_Entity& stanza) {
    fuzz_touch(stanza.from);
    fuzz_touch(stanza.to);
    fuzz_touch(stanza.id);
    fuzz_touch(stanza.type);
    fuzz_touch(stanza.GetKind());
    fuzz_touch(stanza.Serialize());
}

void OnMessage(jcl_Connection&, jcl_Entity& stanza) {
    const auto& message = dynamic_cast<const jcl_Message&>(stanza);
    fuzz_touch(message.subject);
    fuzz_touch(message.body);
    fuzz_touch(message.error);
    fuzz_touch(message.x);
    fuzz_touch(cow_String(message.errorCode));
    TouchEntity(message);
}

void OnPresence(jcl_Connection&, jcl_Entity& stanza) {
    const auto& presence = dynamic_cast<const jcl_Presence&>(stanza);
    fuzz_touch(presence.status);
    fuzz_touch(presence.show);
    fuzz_touch(cow_String(presence.priority));
    TouchEntity(presence);
}

void OnIQ(jcl_Connection&, jcl_Entity& stanza) {
    const auto& iq = dynamic_cast<const jcl_IQ&>(stanza);
    for (const cow_String* field : {&iq.queryNamespace, &iq.username, &iq.password, &iq.resource, &iq.name,
                                    &iq.error, &iq.first, &iq.last, &iq.nick, &iq.email})
        fuzz_touch(*field);
    fuzz_touch(cow_String(iq.errorCode));
    TouchEntity(iq);
}

// One connection for the whole run: Receive keeps no state between reads.
struct Client {
    Client() {
        fuzz_silenceConsole();
        connection.socket = csp_TcpSocket(server.TakeLocal());
        connection.SetMessageHandler(OnMessage);
        connection.SetPresenceHandler(OnPresence);
        connection.SetIQHandler(OnIQ);
    }

    fuzz_SocketPair server;
    jcl_Connection connection;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Client client;
    if (size == 0) return 0;
    client.server.Send(std::span(data, size));
    while (fuzz_pendingBytes(client.connection.socket.getDescriptor()) > 0) {
        client.connection.Receive(1);
    }
    return 0;
}
