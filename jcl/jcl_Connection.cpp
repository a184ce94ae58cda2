#include "jcl/jcl_Connection.h"

#include <poll.h>

#include <cstring>
#include <memory>
#include <new>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/csp_SocketAddress.h"
#include "foundation/xmp_XML.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"

namespace {
constexpr int readSize = 2000;

void IgnoreStanza(jcl_Connection&, jcl_Entity&) {}

jcl_Connection::Handler OrIgnore(jcl_Connection::Handler handler) { return handler ? handler : IgnoreStanza; }

// False when the time ran out or the wait failed. A socket that was never
// connected reports a hang-up at once, which is nothing to read.
bool WaitReadable(int descriptor, int timeout) {
    if (descriptor < 0) return false;
    pollfd watched{descriptor, POLLIN, 0};
    return ::poll(&watched, 1, timeout > 0 ? timeout : -1) > 0 && (watched.revents & POLLIN);
}
}  // namespace

// The tree of one read. Elements nested deeper than jcl_Node::maxBuiltDepth
// are left out, together with their text.
struct jcl_Connection::StanzaBuilder {
    static void OnStartElement(void* self, const char* name, const char** attributes);
    static void OnEndElement(void* self, const char* name);
    static void OnCharacterData(void* self, const char* text, int length);

    jcl_Node root;
    cow_1DArrayList<int> path;
    int depth = 0;
};

void jcl_Connection::StanzaBuilder::OnStartElement(void* self, const char* name, const char** attributes) {
    StanzaBuilder& builder = *static_cast<StanzaBuilder*>(self);
    const int level = ++builder.depth;
    if (level == 1) {
        builder.root.SetTagName(name);
        builder.root.isRoot = true;
        builder.root.InsertAttributeList(attributes);
    } else if (level <= jcl_Node::maxBuiltDepth) {
        jcl_Node child;
        child.SetTagName(name);
        child.InsertAttributeList(attributes);
        jcl_Node& current = builder.root.Traverse(builder.path);
        builder.path.Append(current.children.Count());
        current.Append(child);
    }
}

void jcl_Connection::StanzaBuilder::OnEndElement(void* self, const char*) {
    StanzaBuilder& builder = *static_cast<StanzaBuilder*>(self);
    const int level = builder.depth--;
    if (level > 1 && level <= jcl_Node::maxBuiltDepth) builder.path.Pop();
}

void jcl_Connection::StanzaBuilder::OnCharacterData(void* self, const char* text, int length) {
    StanzaBuilder& builder = *static_cast<StanzaBuilder*>(self);
    if (builder.depth >= 1 && builder.depth <= jcl_Node::maxBuiltDepth)
        builder.root.Traverse(builder.path).text.append(text, length);
}

jcl_Connection::jcl_Connection()
    : socket(csp_TcpSocket::BindAnyAddress),
      messageHandler(IgnoreStanza),
      presenceHandler(IgnoreStanza),
      iqHandler(IgnoreStanza) {}

jcl_Connection::~jcl_Connection() = default;

bool jcl_Connection::Connect(const cow_String& serverName, int port) {
    const csp_SocketAddress address(csp_IpAddress(serverName), port);
    server = serverName;
    socket.connectTo(address);
    socket.setKeepAlives(true);

    cow_String header("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\" to=\"");
    header += server;
    header.append("\" xmlns=\"jabber:client\">\n");
    return socket.write(header.text(), header.length()) != 0;
}

bool jcl_Connection::Authorize(const cow_String& username, const cow_String& password, const cow_String& resource) {
    jcl_IQ login;
    login.type = "set";
    login.to = server;
    login.queryNamespace = "jabber:iq:auth";
    login.username = username;
    login.password = password;
    login.resource = resource;
    Send(login);
    Receive(0);
    return true;
}

bool jcl_Connection::Register(const cow_String& name, const cow_String& username, const cow_String& password) {
    jcl_IQ registration;
    registration.type = "set";
    registration.to = server;
    registration.queryNamespace = "jabber:iq:register";
    registration.name = name;
    registration.username = username;
    registration.password = password;
    registration.email = "dummy";
    Send(registration);
    Receive(0);
    return true;
}

bool jcl_Connection::Send(const jcl_Entity& stanza) {
    const cow_String text = stanza.Serialize();
    try {
        socket.write(text.text(), text.length());
    } catch (const csp_NetworkException&) {
        // A lost report must not stop the job; the next read shows the failure.
    }
    return true;
}

void jcl_Connection::Receive(int timeout) {
    if (!WaitReadable(socket.getDescriptor(), timeout)) return;
    char buffer[readSize];
    const int received = socket.read(buffer, readSize);
    if (received <= 0) return;
    const void* zero = std::memchr(buffer, 0, static_cast<size_t>(received));
    const int length = zero ? static_cast<int>(static_cast<const char*>(zero) - buffer) : received;
    Dispatch(ParseStanza(buffer, length));
}

bool jcl_Connection::Disconnect() {
    static constexpr char streamEnd[] = "</stream:stream>\n";
    socket.write(streamEnd, sizeof streamEnd - 1);
    socket.close();
    return true;
}

void jcl_Connection::SetMessageHandler(Handler handler) { messageHandler = OrIgnore(handler); }

void jcl_Connection::SetPresenceHandler(Handler handler) { presenceHandler = OrIgnore(handler); }

void jcl_Connection::SetIQHandler(Handler handler) { iqHandler = OrIgnore(handler); }

jcl_Node jcl_Connection::ParseStanza(const char* text, int length) {
    StanzaBuilder builder;
    const std::unique_ptr<XML_ParserStruct, decltype(&xmp_XML_ParserFree)> parser(xmp_XML_ParserCreate(nullptr),
                                                                                 xmp_XML_ParserFree);
    if (!parser) throw std::bad_alloc();
    xmp_XML_SetUserData(parser.get(), &builder);
    xmp_XML_SetElementHandler(parser.get(), StanzaBuilder::OnStartElement, StanzaBuilder::OnEndElement);
    xmp_XML_SetCharacterDataHandler(parser.get(), StanzaBuilder::OnCharacterData);
    // A syntax error leaves the tree as far as it was built.
    xmp_XML_Parse(parser.get(), text, length, 1);
    return builder.root;
}

void jcl_Connection::Dispatch(const jcl_Node& root) {
    if (root.tagName == "message") {
        jcl_Message message(root);
        messageHandler(*this, message);
    } else if (root.tagName == "presence") {
        jcl_Presence presence(root);
        presenceHandler(*this, presence);
    } else if (root.tagName == "iq") {
        jcl_IQ iq(root);
        iqHandler(*this, iq);
    }
}
