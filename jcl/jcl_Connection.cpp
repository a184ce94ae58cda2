#include "jcl/jcl_Connection.h"

#include <chrono>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

#include "csp/csp_IpAddress.h"
#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"
#include "csp/csp_SocketAddress.h"
#include "jcl/impl/jcl_Base64.h"
#include "jcl/impl/jcl_Scram.h"
#include "jcl/impl/jcl_StanzaParser.h"
#include "jcl/impl/jcl_TlsChannel.h"
#include "jcl/jcl_ErrorCondition.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Jid.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_XmlWriter.h"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int readSize = 2000;
constexpr int serverStanzaDepth = 2;
const char* const tlsNamespace = "urn:ietf:params:xml:ns:xmpp-tls";
const char* const saslNamespace = "urn:ietf:params:xml:ns:xmpp-sasl";
const char* const bindId = "bind";
const char* const sessionId = "session";
const char* const registerId = "register";
const char* const loginId = "login";
const char* const stanzasNamespace = "urn:ietf:params:xml:ns:xmpp-stanzas";
const char* const managementNamespace = "urn:xmpp:sm:3";
// Unacknowledged stanzas kept beyond this are forgotten, oldest first, and
// counted as unconfirmed: a server that never acknowledges costs no more.
constexpr std::size_t maxUnacknowledgedBytes = std::size_t{16} << 20;
// Within a large write, a request for acknowledgement after this many bytes.
constexpr std::size_t acknowledgeEvery = 16 * 1024;

std::string AcknowledgementRequest() { return std::string("<r xmlns='") + managementNamespace + "'/>"; }

void IgnoreStanza(jcl_Connection&, jcl_Entity&) {}

jcl_Connection::Handler OrIgnore(jcl_Connection::Handler handler) { return handler ? handler : IgnoreStanza; }

// False when the time ran out or the wait failed. A socket that was never
// connected reports a hang-up at once, which is nothing to read.
bool WaitReadable(int descriptor, int timeout) {
    if (descriptor < 0) return false;
    bool dataWaiting = false;
    return csp_SocketLayer::waitInput(descriptor, timeout > 0 ? timeout : -1, dataWaiting) > 0 && dataWaiting;
}

[[noreturn]] void Fail(csp_NetworkErrorKind kind, const std::string& text) {
    throw csp_NetworkException(kind, cow_String(text.c_str()));
}

std::string Text(const cow_String& text) { return std::string(text.view()); }

bool HasAttribute(const jcl_Node& node, const char* name, const char* value) {
    const cow_String key(name);
    return node.attributes.IsMember(key) && node.attributes.ConstGet(key) == value;
}

jcl_Node Element(const char* name, std::initializer_list<std::pair<const char*, std::string>> attributes = {}) {
    jcl_Node element;
    element.SetTagName(name);
    for (const auto& [key, value] : attributes) element.InsertAttribute(key, cow_String(std::string_view(value)));
    return element;
}

// The answer to the request with this id: an "iq" of type result or error.
bool IsAnswer(const jcl_Node& stanza, std::string_view id) {
    const std::string type = stanza.Attribute("type");
    return stanza.tagName == "iq" && (type == "result" || type == "error") && stanza.Attribute("id") == id;
}

bool IsRequest(const jcl_Node& stanza) {
    const std::string type = stanza.Attribute("type");
    return stanza.tagName == "iq" && (type == "get" || type == "set");
}

const jcl_Node* ChildNamed(const jcl_Node& node, const char* name) {
    for (int i = 0; i < node.children.Count(); ++i) {
        if (node.children[i].tagName == name) return &node.children[i];
    }
    return nullptr;
}

std::string Offered(const jcl_Node& mechanisms) {
    std::string names;
    for (int i = 0; i < mechanisms.children.Count(); ++i)
        names += (names.empty() ? "" : ", ") + Text(mechanisms.children[i].text);
    return names.empty() ? "none" : names;
}

bool Offers(const jcl_Node* mechanisms, const char* name) {
    if (!mechanisms) return false;
    for (int i = 0; i < mechanisms->children.Count(); ++i) {
        if (mechanisms->children[i].text == name) return true;
    }
    return false;
}

std::string SaslElement(const char* name, const std::string& payload, const char* mechanism = nullptr) {
    std::string element = std::string("<") + name + " xmlns='" + saslNamespace + "'";
    if (mechanism) element += std::string(" mechanism='") + mechanism + "'";
    return element + ">" + jcl_Base64::Encode(payload) + "</" + name + ">";
}

std::string Payload(const jcl_Node& element) {
    const std::optional<std::string> decoded = jcl_Base64::Decode(element.text.view());
    if (!decoded) Fail(read_failed, "the server's login answer is not base64");
    return *decoded;
}
}  // namespace

jcl_Connection::jcl_Connection()
    : socket(csp_TcpSocket::BindAnyAddress),
      messageHandler(IgnoreStanza),
      presenceHandler(IgnoreStanza),
      iqHandler(IgnoreStanza),
      parser(std::make_unique<jcl_StanzaParser>(serverStanzaDepth, [this](jcl_Node& stanza) {
          Track(stanza);
          received.push_back(stanza);
      })) {}

jcl_Connection::~jcl_Connection() = default;

void jcl_Connection::Open(const cow_String& domain, const cow_String& address, int port) {
    const csp_SocketAddress where(csp_IpAddress(address), port);
    server = domain;
    socket.connectTo(where);
    socket.setKeepAlives(true);
}

bool jcl_Connection::Connect(const cow_String& serverName, int port) { return Connect(serverName, serverName, port); }

bool jcl_Connection::Connect(const cow_String& domain, const cow_String& address, int port) {
    Open(domain, address, port);

    cow_String header("<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\" to=\"");
    header += server;
    header.append("\" xmlns=\"jabber:client\">\n");
    Write(header);
    return true;
}

void jcl_Connection::ConnectSecurely(const cow_String& domain, const cow_String& address, int port,
                                     const cow_String& caFile) {
    Open(domain, address, port);
    OpenSecureStream("stream features");
    if (!ChildNamed(features, "starttls")) Fail(read_failed, "the server " + Text(domain) + " offers no TLS");
    StartTls(caFile);
}

void jcl_Connection::StartTls(const cow_String& caFile) {
    Write(cow_String((std::string("<starttls xmlns='") + tlsNamespace + "'/>").c_str()));
    const jcl_Node answer = Expect("STARTTLS");
    if (answer.tagName != "proceed") Fail(read_failed, "the server refused to start TLS");
    tls = std::make_unique<jcl_TlsChannel>(socket.getDescriptor(), Text(server), Text(caFile), stepTimeout);
    OpenSecureStream("stream features inside TLS");
}

void jcl_Connection::OpenSecureStream(const char* step) {
    parser->Restart();
    received.clear();
    Write(cow_String(("<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
                      "xmlns:stream='http://etherx.jabber.org/streams' to='" +
                      jcl_XmlWriter::Attribute(server.view()) + "' version='1.0'>")
                         .c_str()));
    features = Expect(step);
    if (features.tagName != "stream:features") Fail(read_failed, std::string("the server sent no ") + step);
}

void jcl_Connection::LogIn(const cow_String& username, const cow_String& password, const cow_String& resource) {
    if (!tls) Fail(write_failed, "no login without TLS");
    Authenticate(username, password);
    OpenSecureStream("stream features after the login");
    Bind(resource);
    Write("<presence/>");
}

void jcl_Connection::Authenticate(const cow_String& username, const cow_String& password) {
    const jcl_Node* mechanisms = ChildNamed(features, "mechanisms");
    if (Offers(mechanisms, "SCRAM-SHA-256")) return AuthenticateScram("SHA-256", username, password);
    if (Offers(mechanisms, "SCRAM-SHA-1")) return AuthenticateScram("SHA-1", username, password);
    if (!Offers(mechanisms, "PLAIN")) {
        Fail(read_failed, "the server offers no login mechanism we accept (offered: " +
                              (mechanisms ? Offered(*mechanisms) : std::string("none")) + ")");
    }
    Write(cow_String(SaslElement("auth", '\0' + Text(username) + '\0' + Text(password), "PLAIN").c_str()));
    const jcl_Node answer = Expect("login");
    if (answer.tagName != "success") {
        Fail(read_failed, "the server refused the login as " + Text(username) + ": " + jcl_ErrorCondition::Of(answer));
    }
}

// A refusal of the first message means the account cannot log in at all;
// one of the proof means the password is wrong.
void jcl_Connection::AuthenticateScram(const char* digest, const cow_String& username, const cow_String& password) {
    jcl_Scram scram(digest, username.view(), password.view());
    const std::string mechanism = std::string("SCRAM-") + digest;
    Write(cow_String(SaslElement("auth", scram.ClientFirst(), mechanism.c_str()).c_str()));
    const jcl_Node challenge = Expect("login");
    const std::string account = jcl_Jid{Text(username), Text(server), {}}.Bare();
    if (challenge.tagName != "challenge") {
        Fail(read_failed, "the server refused the account " + account + " (it may not exist): " +
                              jcl_ErrorCondition::Of(challenge));
    }
    Write(cow_String(SaslElement("response", scram.ClientFinal(Payload(challenge))).c_str()));
    const jcl_Node outcome = Expect("login");
    if (outcome.tagName != "success") {
        Fail(read_failed, "the server refused the password of " + account + ": " + jcl_ErrorCondition::Of(outcome));
    }
    if (!scram.VerifiesServer(Payload(outcome))) {
        Fail(read_failed, "the server did not prove that it knows the password of " + account);
    }
}

void jcl_Connection::Bind(const cow_String& resource) {
    if (!ChildNamed(features, "bind")) Fail(read_failed, "the server offers no resource binding");
    jcl_Node binding = Element("bind", {{"xmlns", "urn:ietf:params:xml:ns:xmpp-bind"}});
    jcl_Node name = Element("resource");
    name.text = resource;
    binding.Append(name);
    jcl_Node request = Element("iq", {{"type", "set"}, {"id", bindId}});
    request.Append(binding);
    // Unrelated stanzas may come meanwhile: the whole binding, not each
    // wait, is bounded.
    const auto deadline = StepDeadline();
    const jcl_Node answer = Request(request, "resource binding", deadline);
    if (!HasAttribute(answer, "type", "result")) {
        Fail(read_failed, "the server refused the resource " + Text(resource) + ": " + jcl_ErrorCondition::Of(answer));
    }
    // Servers that still require the old session step say so without <optional/>.
    const jcl_Node* session = ChildNamed(features, "session");
    if (!session || ChildNamed(*session, "optional")) return;
    request = Element("iq", {{"type", "set"}, {"id", sessionId}});
    request.Append(Element("session", {{"xmlns", "urn:ietf:params:xml:ns:xmpp-session"}}));
    Request(request, "session", deadline);
}

jcl_Node jcl_Connection::Request(const jcl_Node& request, const char* step) {
    return Request(request, step, StepDeadline());
}

jcl_Node jcl_Connection::Request(const jcl_Node& request, const char* step, Clock::time_point deadline) {
    Write(cow_String(jcl_XmlWriter::Element(request)));
    return AwaitReply(request.Attribute("id"), step, deadline);
}

jcl_Node jcl_Connection::Request(const jcl_Entity& request, const char* step) {
    Write(request.Serialize());
    return AwaitReply(Text(request.id), step, StepDeadline());
}

jcl_Node jcl_Connection::AwaitReply(const std::string& id, const char* step, Clock::time_point deadline) {
    return AwaitAnswer(step, deadline, [&id](const jcl_Node& stanza) { return IsAnswer(stanza, id); });
}

jcl_Node jcl_Connection::AwaitAnswer(const char* step, Clock::time_point deadline,
                                     const std::function<bool(const jcl_Node&)>& wanted) {
    std::deque<jcl_Node> others;
    for (;;) {
        jcl_Node stanza = Expect(step, deadline);
        if (wanted(stanza)) {
            received.insert(received.begin(), std::make_move_iterator(others.begin()),
                            std::make_move_iterator(others.end()));
            return stanza;
        }
        others.push_back(std::move(stanza));
    }
}

Clock::time_point jcl_Connection::StepDeadline() const { return Clock::now() + milliseconds(stepTimeout); }

jcl_Node jcl_Connection::Expect(const char* step) { return Expect(step, StepDeadline()); }

jcl_Node jcl_Connection::Expect(const char* step, Clock::time_point deadline) {
    while (received.empty()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int got = left > 0 ? ReadOnce(static_cast<int>(left)) : -1;
        if (got < 0) {
            Fail(system_call_timout, std::string("the server did not answer (") + step + ") within " +
                                         std::to_string(stepTimeout) + " ms");
        }
        if (got == 0) Fail(eof_encountered, std::string("the server closed the connection (") + step + ")");
    }
    jcl_Node stanza = std::move(received.front());
    received.pop_front();
    if (stanza.tagName == "stream:error")
        Fail(read_failed, std::string("the server ended the stream (") + step + "): " + jcl_ErrorCondition::Of(stanza));
    return stanza;
}

jcl_IQ jcl_Connection::LegacyRequest(const char* queryNamespace) const {
    jcl_IQ request;
    request.type = "set";
    request.to = server;
    request.queryNamespace = queryNamespace;
    return request;
}

jcl_IQ jcl_Connection::LoginRequest(const cow_String& username, const cow_String& password,
                                    const cow_String& resource) const {
    jcl_IQ login = LegacyRequest("jabber:iq:auth");
    login.username = username;
    login.password = password;
    login.resource = resource;
    return login;
}

jcl_IQ jcl_Connection::RegistrationRequest(const cow_String& name, const cow_String& username,
                                           const cow_String& password) const {
    jcl_IQ registration = LegacyRequest("jabber:iq:register");
    registration.name = name;
    registration.username = username;
    registration.password = password;
    registration.email = "dummy";
    return registration;
}

bool jcl_Connection::Authorize(const cow_String& username, const cow_String& password, const cow_String& resource) {
    Send(LoginRequest(username, password, resource));
    const std::optional<jcl_Node> answer = AwaitLegacyAnswer("login");
    return !answer || !HasAttribute(*answer, "type", "error");
}

bool jcl_Connection::Register(const cow_String& name, const cow_String& username, const cow_String& password) {
    Send(RegistrationRequest(name, username, password));
    AwaitLegacyAnswer("registration");
    return true;
}

// The requests carry ids here, so no answer can be taken for another's.
void jcl_Connection::LogInLegacy(const cow_String& username, const cow_String& password, const cow_String& resource) {
    jcl_IQ registration = RegistrationRequest(username, username, password);
    registration.id = registerId;
    Request(registration, "registration");
    jcl_IQ login = LoginRequest(username, password, resource);
    login.id = loginId;
    const jcl_Node answer = Request(login, "login");
    if (!HasAttribute(answer, "type", "result")) {
        const jcl_Jid address{Text(username), Text(server), Text(resource)};
        Fail(read_failed,
             "the server refused the login as " + address.Format() + ": " + jcl_ErrorCondition::Of(answer));
    }
}

// Old servers answer without an id; a server that says something else
// instead, or nothing more, is left to the handlers.
std::optional<jcl_Node> jcl_Connection::AwaitLegacyAnswer(const char* step) {
    const auto deadline = StepDeadline();
    while (received.empty()) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        const int got = left > 0 ? ReadOnce(static_cast<int>(left)) : -1;
        if (got < 0) {
            Fail(system_call_timout, std::string("the server did not answer the ") + step + " within " +
                                         std::to_string(stepTimeout) + " ms");
        }
        if (got == 0) break;
    }
    std::optional<jcl_Node> answer;
    for (const jcl_Node& stanza : received)
        if (!answer && IsAnswer(stanza, "")) answer = stanza;
    DispatchReceived();
    return answer;
}

bool jcl_Connection::Send(const jcl_Entity& stanza) {
    Send(std::vector<std::string>{std::string(stanza.Serialize().view())});
    return true;
}

// A server that reads slowly confirms a large batch piece by piece.
void jcl_Connection::Send(const std::vector<std::string>& stanzas) {
    std::string joined;
    std::size_t sinceRequest = 0;
    for (const std::string& stanza : stanzas) {
        joined += stanza;
        if (!acknowledging) continue;
        Keep(stanza);
        sinceRequest += stanza.size();
        if (sinceRequest < acknowledgeEvery) continue;
        joined += AcknowledgementRequest();
        sinceRequest = 0;
    }
    try {
        Write(cow_String(std::string_view(joined)));
    } catch (const csp_NetworkException&) {
        // A lost report must not stop the job; the next read shows the failure.
    }
}

void jcl_Connection::SendText(const cow_String& xml) { Write(xml); }

bool jcl_Connection::IsOpen() const { return !serverClosed && !parser->Ended(); }

void jcl_Connection::Write(const cow_String& text) {
    if (!socket.isOpen()) Fail(write_failed, "the connection is closed");
    if (tls)
        tls->Write(text.text(), text.length(), stepTimeout);
    else
        socket.writeAll(text.text(), text.length(), stepTimeout);
}

int jcl_Connection::ReadOnce(int timeout) {
    char buffer[readSize];
    int count = 0;
    if (tls) {
        count = tls->Read(buffer, readSize, timeout);
    } else {
        if (!WaitReadable(socket.getDescriptor(), timeout)) return -1;
        count = socket.read(buffer, readSize);
    }
    if (count == 0) serverClosed = true;
    if (count <= 0) return count;
    Feed(buffer, count);
    // TLS may hold decrypted bytes that the socket no longer signals.
    while (tls && tls->Pending()) {
        const int more = tls->Read(buffer, readSize, 0);
        if (more <= 0) break;
        Feed(buffer, more);
    }
    return count;
}

void jcl_Connection::Feed(const char* bytes, int length) {
    if (!parser->Feed(bytes, length)) {
        Fail(read_failed, "the server's stream is not well-formed XML or holds a stanza over " +
                              std::to_string(jcl_StanzaParser::maxStanzaBytes) + " bytes");
    }
}

void jcl_Connection::Receive(int timeout) {
    if (received.empty() && ReadOnce(timeout) <= 0) return;
    DispatchReceived();
}

void jcl_Connection::DispatchReceived() {
    while (!received.empty()) {
        const jcl_Node stanza = std::move(received.front());
        received.pop_front();
        if (!Manage(stanza)) Dispatch(stanza);
    }
}

bool jcl_Connection::EnableAcknowledgements() {
    // Servers may offer several versions side by side.
    bool offered = false;
    for (int i = 0; i < features.children.Count(); ++i)
        offered = offered || (features.children[i].tagName == "sm" &&
                              HasAttribute(features.children[i], "xmlns", managementNamespace));
    if (!offered) return false;
    enableRequested = true;
    Write(cow_String((std::string("<enable xmlns='") + managementNamespace + "'/>").c_str()));
    const jcl_Node answer = AwaitAnswer("acknowledged delivery", StepDeadline(), [](const jcl_Node& stanza) {
        return (stanza.tagName == "enabled" || stanza.tagName == "failed") &&
               HasAttribute(stanza, "xmlns", managementNamespace);
    });
    enableRequested = false;
    return acknowledging;
}

// Runs as the parser hands each stanza on, so that the count starts exactly
// at the server's answer, whatever the same read holds after it.
void jcl_Connection::Track(const jcl_Node& stanza) {
    if (enableRequested && stanza.tagName == "enabled" && HasAttribute(stanza, "xmlns", managementNamespace))
        acknowledging = true;
    else if (acknowledging && (stanza.tagName == "message" || stanza.tagName == "presence" || stanza.tagName == "iq"))
        ++receivedCount;
}

bool jcl_Connection::Manage(const jcl_Node& stanza) {
    if (!acknowledging || !HasAttribute(stanza, "xmlns", managementNamespace)) return false;
    if (stanza.tagName == "a") {
        const cow_String key("h");
        if (stanza.attributes.IsMember(key))
            Acknowledged(static_cast<std::uint32_t>(std::strtoull(std::string(stanza.attributes.ConstGet(key).view()).c_str(), nullptr, 10)));
        return true;
    }
    if (stanza.tagName == "r") {
        Write(cow_String((std::string("<a xmlns='") + managementNamespace + "' h='" + std::to_string(receivedCount) + "'/>").c_str()));
        return true;
    }
    return false;
}

// The count is the server's, modulo 2^32; one beyond what was sent is
// taken as all of it.
void jcl_Connection::Acknowledged(std::uint32_t handled) {
    std::uint32_t newly = handled - acknowledged;
    acknowledged = handled;
    for (; newly > 0 && !unacknowledged.empty(); --newly) {
        unacknowledgedBytes -= unacknowledged.front().size();
        unacknowledged.pop_front();
    }
}

void jcl_Connection::Keep(std::string stanza) {
    unacknowledgedBytes += stanza.size();
    unacknowledged.push_back(std::move(stanza));
    while (unacknowledgedBytes > maxUnacknowledgedBytes && unacknowledged.size() > 1) {
        unacknowledgedBytes -= unacknowledged.front().size();
        unacknowledged.pop_front();
        ++acknowledged;
        ++forgotten;
    }
}

void jcl_Connection::RequestAcknowledgement() {
    if (acknowledging) Write(cow_String(AcknowledgementRequest()));
}

std::deque<std::string> jcl_Connection::TakeUnacknowledged() {
    unacknowledgedBytes = 0;
    return std::exchange(unacknowledged, {});
}

bool jcl_Connection::ServeUntil(Clock::time_point deadline, const std::function<bool()>& done) {
    while (!done()) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || !IsOpen()) return false;
        if (received.empty() && ReadOnce(static_cast<int>(left)) <= 0) continue;
        DispatchReceived();
    }
    return true;
}

std::size_t jcl_Connection::CloseOrderly(int limit) {
    const auto deadline = Clock::now() + milliseconds(limit);
    try {
        if (acknowledging && !unacknowledged.empty()) {
            RequestAcknowledgement();
            ServeUntil(deadline, [this] { return unacknowledged.empty(); });
        }
        Write("</stream:stream>\n");
        // Closing while the server still reads would reset the connection and
        // lose what it has not read yet.
        ServeUntil(deadline, [this] { return !IsOpen(); });
    } catch (...) {
        // A failed connection ends here all the same.
    }
    tls.reset();
    socket.close();
    return Unacknowledged();
}

bool jcl_Connection::Disconnect() {
    static constexpr char streamEnd[] = "</stream:stream>\n";
    Write(streamEnd);
    tls.reset();
    socket.close();
    return true;
}

void jcl_Connection::SetMessageHandler(Handler handler) { messageHandler = OrIgnore(handler); }

void jcl_Connection::SetPresenceHandler(Handler handler) { presenceHandler = OrIgnore(handler); }

void jcl_Connection::SetIQHandler(Handler handler) { iqHandler = OrIgnore(handler); }

void jcl_Connection::SetStepTimeout(int milliseconds) { stepTimeout = milliseconds > 0 ? milliseconds : 1; }

void jcl_Connection::SetStanzaObserver(std::function<void(const jcl_Node&)> seeing) { observer = std::move(seeing); }

void jcl_Connection::Dispatch(const jcl_Node& root) {
    if (observer) observer(root);
    if (root.tagName == "message") {
        jcl_Message message(root);
        messageHandler(*this, message);
    } else if (root.tagName == "presence") {
        jcl_Presence presence(root);
        presenceHandler(*this, presence);
    } else if (root.tagName == "iq") {
        if (iqHandler == IgnoreStanza && IsRequest(root)) {
            AnswerUnhandled(root);
        } else {
            jcl_IQ iq(root);
            iqHandler(*this, iq);
        }
    }
}

// A server drops clients that leave its requests unanswered; a ping is the
// only one understood.
void jcl_Connection::AnswerUnhandled(const jcl_Node& request) {
    jcl_Node answer = Element("iq", {{"id", request.Attribute("id")}});
    const std::string from = request.Attribute("from");
    if (!from.empty()) answer.InsertAttribute("to", cow_String(std::string_view(from)));
    const jcl_Node* ping = ChildNamed(request, "ping");
    if (ping && HasAttribute(*ping, "xmlns", "urn:xmpp:ping")) {
        answer.InsertAttribute("type", "result");
    } else {
        answer.InsertAttribute("type", "error");
        jcl_Node error = Element("error", {{"type", "cancel"}});
        error.Append(Element("service-unavailable", {{"xmlns", stanzasNamespace}}));
        answer.Append(error);
    }
    Send(std::vector<std::string>{jcl_XmlWriter::Element(answer)});
}
