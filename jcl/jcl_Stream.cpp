#include "jcl/jcl_Stream.h"

#include <poll.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "foundation/aio_ostream.h"
#include "foundation/omi_FatalError.h"

namespace {
constexpr int readSize = 2000;

int ValidStanzaDepth(int stanzaDepth) {
    if (stanzaDepth < 1) throw std::invalid_argument("jcl_Stream: the stanza depth must be at least 1");
    return stanzaDepth;
}

// Points every child at its parent's place in the finished tree; appending
// siblings may have moved nodes since they were built.
void RelinkParents(jcl_Node& node) {
    for (int i = 0; i < node.children.Count(); ++i) {
        jcl_Node& child = node.GetChild(i);
        child.parent = &node;
        RelinkParents(child);
    }
}
}  // namespace

jcl_Stream::jcl_Stream(const cow_String& server, unsigned int port, int stanzaDepth, csp_TcpSocket connected)
    : socket(connected),
      parser(nullptr, xmp_XML_ParserFree),
      stanzaDepth(ValidStanzaDepth(stanzaDepth)),
      serverAddress(csp_IpAddress(server), static_cast<int>(port)) {
    connected.name();
    parser.reset(xmp_XML_ParserCreate(nullptr));
    if (!parser) throw std::bad_alloc();
    xmp_XML_SetUserData(parser.get(), this);
    xmp_XML_SetElementHandler(parser.get(), OnStartElement, OnEndElement);
    xmp_XML_SetCharacterDataHandler(parser.get(), OnCharacterData);
    xmp_XML_DisableReparseDeferral(parser.get());
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
    xmp_XML_Parse(parser.get(), buffer, length, 0);
    if (handlerFailure) std::rethrow_exception(std::exchange(handlerFailure, nullptr));
    return received;
}

void jcl_Stream::Process() {
    for (;;) {
        if (socket.getDescriptor() < 0) return;
        pollfd watched{socket.getDescriptor(), POLLIN, 0};
        const int ready = ::poll(&watched, 1, -1);
        if (ready < 0 && errno != EINTR) return;
        if (ready > 0 && Read() <= 0) return;
    }
}

int jcl_Stream::Write(const cow_String& text) { return socket.write(text.text(), text.length()); }

void jcl_Stream::HandleStanza(jcl_Node& finished) {
    aio_cout << finished.Serialize();
    aio_cout.put('\n').flush();
}

bool jcl_Stream::IsBuilt(int elementDepth) const {
    return elementDepth >= stanzaDepth && elementDepth - stanzaDepth < jcl_Node::maxBuiltDepth;
}

void jcl_Stream::OnStartElement(void* self, const char* name, const char** attributes) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(self);
    ++stream.depth;
    if (!stream.IsBuilt(stream.depth)) return;
    jcl_Node element;
    element.SetTagName(name);
    element.InsertAttributeList(attributes);
    if (stream.depth == stream.stanzaDepth) {
        element.isRoot = true;
        stream.stanza = element;
        stream.current = &stream.stanza;
    } else {
        element.parent = stream.current;
        stream.current->Append(element);
        stream.current = &stream.current->GetChild(stream.current->children.Count() - 1);
    }
}

void jcl_Stream::OnEndElement(void* self, const char*) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(self);
    const int closing = stream.depth--;
    if (closing == stream.stanzaDepth)
        stream.FinishStanza();
    else if (stream.IsBuilt(closing))
        stream.current = stream.current->parent;
}

void jcl_Stream::OnCharacterData(void* self, const char* text, int length) {
    jcl_Stream& stream = *static_cast<jcl_Stream*>(self);
    if (stream.IsBuilt(stream.depth)) stream.current->text.append(text, length);
}

void jcl_Stream::FinishStanza() {
    RelinkParents(stanza);
    // An exception must not unwind through the parser.
    try {
        HandleStanza(stanza);
    } catch (...) {
        if (!handlerFailure) handlerFailure = std::current_exception();
    }
}
