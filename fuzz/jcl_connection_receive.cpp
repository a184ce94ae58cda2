// What a server sends to a Jabber client. Each input is one stream, written
// to a fresh connection's socket in pieces cut at points the input's first
// byte chooses, so stanzas arrive split anywhere and several to a read; the
// connection takes them apart with Receive, at most 2000 bytes a read. The
// same bytes then serve as the server's side of a secure connection attempt
// (stream features, STARTTLS answer) and, after our nonce, as a SCRAM
// challenge. The handlers read every field of the stanza they are handed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "csp/csp_NetworkException.h"
#include "csp/csp_TcpAcceptor.h"
#include "csp/csp_TcpSocket.h"
#include "fuzz/support/fuzz_SocketPair.h"
#include "fuzz/support/fuzz_sink.h"
#include "fuzz/support/fuzz_socket.h"
#include "jcl/impl/jcl_Scram.h"
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

void ReceiveInPieces(std::span<const uint8_t> stream, uint8_t seed) {
    fuzz_SocketPair server;
    jcl_Connection connection;
    connection.socket = csp_TcpSocket(server.TakeLocal());
    connection.SetMessageHandler(OnMessage);
    connection.SetPresenceHandler(OnPresence);
    connection.SetIQHandler(OnIQ);
    unsigned int state = seed;
    try {
        while (!stream.empty()) {
            state = state * 1103515245u + 12345u;
            const size_t piece = std::min<size_t>(stream.size(), 1 + (state >> 16) % 3000);
            server.Send(stream.first(piece));
            stream = stream.subspan(piece);
            while (fuzz_pendingBytes(connection.socket.getDescriptor()) > 0) connection.Receive(1);
        }
    } catch (const csp_NetworkException&) {
        // A malformed stream ends the connection; that is the expected outcome.
    }
}

// A loopback server that answers one connection attempt with the input.
void NegotiateSecurely(std::span<const uint8_t> answer) {
    static csp_TcpAcceptor listening(csp_SocketAddress(csp_IpAddress(0x7f000001u), 0));
    std::thread server([&] {
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> accepted = listening.acceptConnection(peer, failure, 10000);
        if (!accepted) std::abort();
        try {
            accepted->writeAll(answer.data(), static_cast<int>(answer.size()), 10000);
            accepted->shutdownSocketSends();
            char sink[4096];
            while (accepted->read(sink, sizeof sink) > 0) {
            }
        } catch (const csp_NetworkException&) {
            // The client gave up first.
        }
    });
    jcl_Connection connection;
    connection.SetStepTimeout(5);
    try {
        connection.ConnectSecurely("localhost", "127.0.0.1", listening.localAddress().getPort(), "");
    } catch (const csp_NetworkException& failure) {
        fuzz_touch(cow_String(failure.what()));
    }
    connection.socket.close();
    server.join();
}

void AnswerChallenge(std::span<const uint8_t> challenge) {
    jcl_Scram scram("SHA-1", "user", "password");
    const std::string first = scram.ClientFirst();
    const std::string nonce = first.substr(first.find("r=") + 2);
    try {
        const std::string final = scram.ClientFinal("r=" + nonce + std::string(challenge.begin(), challenge.end()));
        fuzz_touch(cow_String(final.c_str()));
        fuzz_touch(cow_String(scram.VerifiesServer(final) ? "verified" : "not"));
    } catch (const csp_NetworkException&) {
        // A challenge we refuse.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (fuzz_silenceConsole(), true);
    (void)quiet;
    if (size < 2) return 0;
    const std::span<const uint8_t> stream(data + 1, size - 1);
    ReceiveInPieces(stream, data[0]);
    NegotiateSecurely(stream);
    if (size < 512) AnswerChallenge(stream);
    return 0;
}
