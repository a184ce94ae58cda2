#include "jcl/jcl_Stream.h"

#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/aio_ostream.h"
#include "foundation/omi_FatalError.h"
#include "jcl/impl/jcl_StanzaParser.h"

namespace {
constexpr int readSize = 2000;

int ValidStanzaDepth(int stanzaDepth) {
    if (stanzaDepth < 1) throw std::invalid_argument("jcl_Stream: the stanza depth must be at least 1");
    return stanzaDepth;
}
}  // namespace

jcl_Stream::jcl_Stream(const cow_String& server, unsigned int port, int stanzaDepth, csp_TcpSocket connected)
    : socket(std::move(connected)),
      parser(std::make_unique<jcl_StanzaParser>(ValidStanzaDepth(stanzaDepth),
                                                [this](jcl_Node& stanza) { FinishStanza(stanza); })),
      serverAddress(csp_IpAddress(server), static_cast<int>(port)) {
    socket.name();
}

jcl_Stream::~jcl_Stream() {
    try {
        socket.disconnect();
    } catch (const omi_FatalError&) {
        // The peer is gone already; closing is all that is left to do.
    }
    socket.close();
}

void jcl_Stream::SetSocket(const csp_TcpSocket& other) {
    socket.setToAutoClose(false);
    socket = other;
}

int jcl_Stream::Read() {
    char buffer[readSize];
    const int received = socket.read(buffer, readSize);
    const int length = received > 0 ? static_cast<int>(::strnlen(buffer, static_cast<size_t>(received))) : 0;
    // Malformed input is not reported: the stanzas before it have been handed on.
    parser->Feed(buffer, length);
    if (handlerFailure) std::rethrow_exception(std::exchange(handlerFailure, nullptr));
    return received;
}

void jcl_Stream::Process() {
    for (;;) {
        if (socket.getDescriptor() < 0) return;
        bool dataWaiting = false;
        const int ready = csp_SocketLayer::waitInput(socket.getDescriptor(), -1, dataWaiting);
        if (ready < 0) return;
        if (ready > 0 && Read() <= 0) return;
    }
}

int jcl_Stream::Write(const cow_String& text) { return socket.write(text.text(), text.length()); }

void jcl_Stream::HandleStanza(jcl_Node& finished) {
    aio_cout << finished.Serialize();
    aio_cout.put('\n').flush();
}

void jcl_Stream::FinishStanza(jcl_Node& stanza) {
    // An exception must not unwind through the parser.
    try {
        HandleStanza(stanza);
    } catch (...) {
        if (!handlerFailure) handlerFailure = std::current_exception();
    }
}
