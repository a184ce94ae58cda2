#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "jcl/impl/jcl_Base64.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"
#include "tests/support/LoopbackPeer.h"
#include "tests/support/TempDir.h"

namespace {
const std::string clientHeader =
    "<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\" "
    "to=\"127.0.0.1\" xmlns=\"jabber:client\">\n";
const std::string serverHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s1' from='127.0.0.1'>";

// What the handlers were given, in order: kind and the field that tells them apart.
std::vector<std::string> delivered;

void RecordMessage(jcl_Connection&, jcl_Entity& stanza) {
    const auto& message = static_cast<jcl_Message&>(stanza);
    delivered.push_back("message " + std::string(message.body.view()) + std::string(message.x.view()));
}
void RecordPresence(jcl_Connection&, jcl_Entity& stanza) {
    delivered.push_back("presence " + std::to_string(static_cast<jcl_Presence&>(stanza).priority));
}
void RecordIQ(jcl_Connection&, jcl_Entity& stanza) {
    const auto& iq = static_cast<jcl_IQ&>(stanza);
    delivered.push_back("iq " + std::string(iq.type.view()) + " " + std::to_string(iq.errorCode));
}

// A connection to a loopback server whose accepted end the test drives.
class JclConnection : public ::testing::Test {
protected:
    void SetUp() override {
        delivered.clear();
        connection.SetMessageHandler(RecordMessage);
        connection.SetPresenceHandler(RecordPresence);
        connection.SetIQHandler(RecordIQ);
        ASSERT_TRUE(connection.Connect("127.0.0.1", listener.Port()));
        server = std::make_unique<loopback::Peer>(listener.Accept());
        ASSERT_EQ(server->Read(clientHeader.size()), clientHeader);
    }

    // Sends each piece as reads of its own and lets Receive take them, at
    // most 2000 bytes a time.
    void Deliver(const std::vector<std::string>& pieces) {
        for (const std::string& piece : pieces) {
            server->Write(piece);
            ASSERT_TRUE(loopback::WaitForUnread(connection.socket.getDescriptor(), static_cast<int>(piece.size())));
            for (size_t taken = 0; taken < piece.size(); taken += 2000) connection.Receive(1000);
        }
    }

    loopback::Listener listener;
    jcl_Connection connection;
    std::unique_ptr<loopback::Peer> server;
};
}  // namespace

TEST_F(JclConnection, TheLegacyExchangeIsByteExactAndEachWaitForTheServerIsBounded) {
    server->Write(serverHeader + R"(<iq type="error"><error code="409">conflict</error></iq>)");
    EXPECT_TRUE(connection.Register("Job name", "u", "p"));
    const std::string registration =
        "<iq to=\"127.0.0.1\" type=\"set\"><query xmlns=\"jabber:iq:register\"><username>u</username>"
        "<password>p</password><name>Job name</name><email>dummy</email></query></iq>\n";
    EXPECT_EQ(server->Read(registration.size()), registration);

    server->Write("<iq type=\"result\"/>");
    EXPECT_TRUE(connection.Authorize("u", "", "r"));
    const std::string login =
        "<iq to=\"127.0.0.1\" type=\"set\"><query xmlns=\"jabber:iq:auth\"><username>u</username>"
        "<resource>r</resource></query></iq>\n";
    EXPECT_EQ(server->Read(login.size()), login);
    EXPECT_EQ(delivered, (std::vector<std::string>{"iq error 409", "iq result 0"}));

    connection.SetStepTimeout(50);
    EXPECT_THROW(connection.Authorize("u", "p", "r"), csp_NetworkException) << "a silent server";
    EXPECT_TRUE(connection.Disconnect());
    server->ReadThrough("</query></iq>\n");
    EXPECT_EQ(server->ReadToEnd(), "</stream:stream>\n");
}

TEST_F(JclConnection, TheLegacyLoginChecksTheServersAnswers) {
    server->Write(serverHeader + "<iq type='error'><error code='401'>Unauthorized</error></iq>");
    EXPECT_FALSE(connection.Authorize("u", "p", "r"));
    server->ReadThrough("</iq>\n");

    // With ids: a registration refused for an existing account is fine, a refused login is not.
    server->Write("<iq type='error' id='register'><error type='cancel'><conflict/></error></iq>"
                  "<iq type='error' id='login'><error type='auth'><not-authorized/></error></iq>");
    try {
        connection.LogInLegacy("u", "p", "r");
        ADD_FAILURE() << "a refused login passed";
    } catch (const csp_NetworkException& refused) {
        EXPECT_NE(std::string(refused.what()).find("refused the login as u@127.0.0.1/r: not-authorized"),
                  std::string::npos)
            << refused.what();
    }
    server->ReadThrough("id=\"register\"");
    server->ReadThrough("id=\"login\"");
    server->Write("<iq type='result' id='register'/><iq type='result' id='login'/>");
    EXPECT_NO_THROW(connection.LogInLegacy("u", "p", "r"));
}

// The answer with the request's id, whatever comes first; the rest waits for the handlers.
TEST_F(JclConnection, ARequestTakesOnlyItsOwnAnswerWithinTheStepTimeOut) {
    const auto request = [](const char* id) {
        jcl_Node iq;
        iq.SetTagName("iq");
        iq.InsertAttribute("type", "get");
        iq.InsertAttribute("id", id);
        return iq;
    };
    server->Write(serverHeader + "<iq type='result' id='v0'/><message><body>m</body></message>"
                                 "<iq type='error' id='v1'><error><bad-request/></error></iq>");
    const jcl_Node answer = connection.Request(request("v1"), "version");
    EXPECT_EQ(server->ReadThrough("</iq>"), "<iq id=\"v1\" type=\"get\"></iq>");
    EXPECT_EQ(answer.attributes.ConstGet("type"), "error");
    EXPECT_TRUE(delivered.empty());
    connection.Receive(10);
    EXPECT_EQ(delivered, (std::vector<std::string>{"iq result 0", "message m"}));

    connection.SetStepTimeout(50);
    server->Write("<iq type='result' id='v1'/>");
    EXPECT_THROW(connection.Request(request("v2"), "version"), csp_NetworkException) << "another request's answer";
}

// A server drops a client that leaves its requests unanswered.
TEST_F(JclConnection, RequestsNoHandlerTakesAreAnsweredAPingWithAResult) {
    connection.SetIQHandler(nullptr);
    Deliver({serverHeader + "<iq type='get' id='p1' from='srv'><ping xmlns='urn:xmpp:ping'/></iq>"
                            "<iq type='set' id='q&amp;1'><query xmlns='jabber:iq:version'/></iq>"
                            "<iq type='result' id='r1'/>"});
    EXPECT_EQ(server->ReadThrough("</iq>"), "<iq id=\"p1\" to=\"srv\" type=\"result\"></iq>");
    EXPECT_EQ(server->ReadThrough("</iq>"),
              "<iq id=\"q&amp;1\" type=\"error\"><error type=\"cancel\"><service-unavailable "
              "xmlns=\"urn:ietf:params:xml:ns:xmpp-stanzas\"></service-unavailable></error></iq>");
    EXPECT_TRUE(server->Idle(100)) << "answers are not answered";

    connection.SetIQHandler(RecordIQ);
    Deliver({"<iq type='get' id='p2'><ping xmlns='urn:xmpp:ping'/></iq>"});
    EXPECT_EQ(delivered, (std::vector<std::string>{"iq get 0"}));
    EXPECT_TRUE(server->Idle(100)) << "a handler's requests are its own";
}

// Servers glue stanzas to their header and to each other and split long ones.
TEST_F(JclConnection, EveryStanzaOfEveryReadGoesToItsHandlerOnce) {
    const std::string kill = "<message from='l@s/r' type='chat'><body>b</body><x xmlns='kelvane:msg'>Kill</x></message>";
    const std::string longMessage = "<message><body>" + std::string(2500, 'a') + "</body></message>";
    Deliver({serverHeader + "<presence><priority>3</priority></presence>" + kill, kill.substr(0, 7),
             kill.substr(7, 40), kill.substr(47) + "<iq type='result'/><stream:features/>", longMessage});
    ASSERT_EQ(delivered.size(), 5u);
    EXPECT_EQ(delivered[0], "presence 3");
    EXPECT_EQ(delivered[1], "message b<x xmlns=\"kelvane:msg\">Kill</x>\n");
    EXPECT_EQ(delivered[2], delivered[1]);
    EXPECT_EQ(delivered[3], "iq result 0");
    EXPECT_EQ(delivered[4], "message " + std::string(2500, 'a'));
    connection.Receive(10);
    EXPECT_EQ(delivered.size(), 5u) << "nothing twice";

    connection.SetMessageHandler(nullptr);
    Deliver({kill});
    EXPECT_EQ(delivered.size(), 5u) << "a null handler discards";
    EXPECT_TRUE(connection.IsOpen());
    server->EndSending();
    connection.Receive(2000);
    EXPECT_FALSE(connection.IsOpen());
}

TEST_F(JclConnection, HostileStreamsAreBoundedOrRaise) {
    std::string deep = serverHeader + "<message>";
    for (int i = 0; i < 600; ++i) deep += "<x>";
    for (int i = 0; i < 600; ++i) deep += "</x>";
    Deliver({deep + "</message>"});
    ASSERT_EQ(delivered.size(), 1u);
    // The nested extension elements down to the bound, each as "<x>" ... "</x>\n".
    EXPECT_EQ(static_cast<int>(delivered[0].size() - 8), (jcl_Node::maxBuiltDepth - 1) * 8);

    server->Write("<message><body>hi</bod></message>");
    EXPECT_THROW(connection.Receive(2000), csp_NetworkException);
}

TEST_F(JclConnection, AResetRaisesFromReceiveAndSendStillReportsTrue) {
    server->Reset();
    EXPECT_THROW(connection.Receive(2000), csp_NetworkException);
    jcl_Message report;
    report.SetX("p");
    EXPECT_TRUE(connection.Send(report));
    EXPECT_TRUE(connection.socket.hasState(csp_ConnectableSocket::Failed));
}

// The legacy flow too: a server that stops reading fails the connection
// within the step time-out instead of holding the writer for ever.
TEST_F(JclConnection, AWriteToAServerThatStopsReadingFailsWithinTheStepTimeOut) {
    connection.SetStepTimeout(300);
    jcl_Message large;
    large.to = "mon";
    large.SetX(cow_String(std::string(1 << 20, 'a').c_str()));
    std::future<bool> sending = std::async(std::launch::async, [&] {
        for (int sent = 0; sent < 256 && connection.socket.isGood(); ++sent) connection.Send(large);
        return connection.socket.isGood();
    });
    const bool ended = sending.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!ended) server->Reset();  // frees the blocked writer
    EXPECT_TRUE(ended) << "a write waited without limit";
    EXPECT_FALSE(sending.get());
}

TEST(JclConnectionFailure, ConnectingToAClosedPortOrABadAddressRaises) {
    loopback::Listener notListening(false);
    jcl_Connection connection;
    EXPECT_THROW(connection.Connect("127.0.0.1", notListening.Port()), csp_NetworkException);
    EXPECT_THROW(connection.Connect("999.1.1.1", notListening.Port()), csp_NetworkException);
}

namespace {
// How the server of the secure login below answers.
enum class Answer { honest, sameNonce, foreignNonce, emptySignature, shortSignature, neverBinds, binds };

const std::string password = "pencil";
const std::string secureHeader =
    "<?xml version='1.0'?><stream:stream xmlns='jabber:client' xmlns:stream='http://etherx.jabber.org/streams' "
    "id='s2' from='localhost' version='1.0'>";

std::string sasl(const std::string& name, const std::string& payload) {
    return "<" + name + " xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>" + jcl_Base64::Encode(payload) + "</" + name + ">";
}

std::string saslPayload(const std::string& element) {
    const size_t start = element.find('>') + 1;
    return jcl_Base64::Decode(element.substr(start, element.rfind('<') - start)).value_or("");
}

std::string hmacSha1(const std::string& key, const std::string& text) {
    unsigned char digest[20];
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
         text.size(), digest, nullptr);
    return std::string(reinterpret_cast<char*>(digest), sizeof digest);
}

// The server's side of one secure login: STARTTLS with the certificate for
// "localhost" in `certificate`, then SCRAM-SHA-1 answered as `answer` says.
// Throws when the client gives up first. Returns how the client ended a
// stream that got as far as its resource.
std::string serveSecureLogin(const loopback::Listener& listener, const TempDir& certificate, Answer answer) {
    loopback::Peer peer(listener.Accept());
    const timeval bound{loopback::waitMilliseconds / 1000, 0};
    ::setsockopt(peer.Descriptor(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    peer.ReadThrough("version='1.0'>");
    peer.Write(secureHeader + "<stream:features><starttls xmlns='urn:ietf:params:xml:ns:xmpp-tls'/></stream:features>");
    peer.ReadThrough("/>");
    peer.Write("<proceed xmlns='urn:ietf:params:xml:ns:xmpp-tls'/>");
    const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_server_method()), &SSL_CTX_free);
    SSL_CTX_use_certificate_file(context.get(), certificate.File("cert.pem").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context.get(), certificate.File("key.pem").c_str(), SSL_FILETYPE_PEM);
    const std::unique_ptr<SSL, decltype(&SSL_free)> tls(SSL_new(context.get()), &SSL_free);
    SSL_set_fd(tls.get(), peer.Descriptor());
    if (SSL_accept(tls.get()) != 1) return "";
    std::string unread;
    // Everything through `marker`, after writing `text`.
    const auto answerThrough = [&](const std::string& text, const std::string& marker) {
        if (!text.empty()) SSL_write(tls.get(), text.data(), static_cast<int>(text.size()));
        char buffer[4096];
        for (int got; unread.find(marker) == std::string::npos; unread.append(buffer, static_cast<size_t>(got)))
            if ((got = SSL_read(tls.get(), buffer, sizeof buffer)) <= 0) throw std::runtime_error("no " + marker);
        std::string taken = unread.substr(0, unread.find(marker) + marker.size());
        unread.erase(0, taken.size());
        return taken;
    };
    answerThrough("", "version='1.0'>");
    const std::string clientFirst = saslPayload(answerThrough(
        secureHeader + "<stream:features><mechanisms xmlns='urn:ietf:params:xml:ns:xmpp-sasl'>"
                       "<mechanism>SCRAM-SHA-1</mechanism></mechanisms></stream:features>",
        "</auth>")).substr(3);
    const std::string nonce = clientFirst.substr(clientFirst.find(",r=") + 3);
    const std::string serverNonce =
        answer == Answer::sameNonce ? nonce : answer == Answer::foreignNonce ? "x" + nonce : nonce + "x";
    const std::string serverFirst = "r=" + serverNonce + ",s=" + jcl_Base64::Encode("salt") + ",i=4096";
    const std::string clientFinal = saslPayload(answerThrough(sasl("challenge", serverFirst), "</response>"));
    std::string salted(20, '\0');
    PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()),
                           reinterpret_cast<const unsigned char*>("salt"), 4, 4096, 20,
                           reinterpret_cast<unsigned char*>(salted.data()));
    std::string signature = hmacSha1(hmacSha1(salted, "Server Key"), clientFirst + "," + serverFirst + "," +
                                                                         clientFinal.substr(0, clientFinal.find(",p=")));
    if (answer == Answer::emptySignature) signature.clear();
    if (answer == Answer::shortSignature) signature.resize(signature.size() / 2);
    answerThrough(sasl("success", "v=" + jcl_Base64::Encode(signature)), "version='1.0'>");
    std::string ending;
    if (answer == Answer::neverBinds || answer == Answer::binds)
        answerThrough(secureHeader + "<stream:features><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'/></stream:features>",
                      "</iq>");
    if (answer == Answer::binds) {
        answerThrough("<iq type='result' id='bind'><bind xmlns='urn:ietf:params:xml:ns:xmpp-bind'><jid>job@localhost/r</jid>"
                      "</bind></iq>",
                      "</stream:stream>");
        // Our end comes late: a client that closes first resets the
        // connection, and a real server loses what it had not read.
        if (loopback::Readable(peer.Descriptor(), 300)) return "closed before our end";
        SSL_write(tls.get(), "</stream:stream>", 16);
        ending = "waited for our end";
    }
    if (answer == Answer::neverBinds) {
        // Unrelated stanzas instead of the answer, until the client gives up
        // (or a hang's bound passes, which the client then reports as a close).
        const std::string noise = "<message from='localhost'><body>noise</body></message>";
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * loopback::waitMilliseconds);
        while (!loopback::Readable(peer.Descriptor(), 100) && std::chrono::steady_clock::now() < end)
            SSL_write(tls.get(), noise.data(), static_cast<int>(noise.size()));
    }
    SSL_shutdown(tls.get());
    return ending;
}

// What the secure login to `domain` makes of the server: the reason it stopped.
std::string secureLogin(const TempDir& certificate, Answer answer, const std::string& domain = "localhost") {
    loopback::Listener listener;
    std::string ending;
    std::jthread server([&] {
        try {
            ending = serveSecureLogin(listener, certificate, answer);
        } catch (const std::exception&) {
            // The client gave up: what it made of the answer is the test's business.
        }
    });
    jcl_Connection connection;  // closed before the server is waited for
    connection.SetStepTimeout(loopback::waitMilliseconds);
    try {
        connection.ConnectSecurely(domain.c_str(), "127.0.0.1", listener.Port(), certificate.File("cert.pem").c_str());
        connection.LogIn("job", password.c_str(), "r");
    } catch (const csp_NetworkException& failure) {
        return failure.what();
    }
    connection.CloseOrderly(loopback::waitMilliseconds);
    server.join();
    return "logged in, " + ending;
}
}  // namespace

TEST(JclSecureLogin, TheServerMustProveItsNameItsNonceAndThePassword) {
    TempDir certificate;
    ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                           "-subj /CN=localhost -addext subjectAltName=DNS:localhost -keyout " +
                           certificate.File("key.pem") + " -out " + certificate.File("cert.pem") + " 2>/dev/null")
                              .c_str()),
              0);
    // Past the proof, the honest server hangs up.
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "(stream features after the login)", secureLogin(certificate, Answer::honest));
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "does not verify", secureLogin(certificate, Answer::honest, "elsewhere"));
    for (const Answer nonce : {Answer::sameNonce, Answer::foreignNonce})
        EXPECT_PRED_FORMAT2(testing::IsSubstring, "does not extend our nonce", secureLogin(certificate, nonce));
    for (const Answer signature : {Answer::emptySignature, Answer::shortSignature})
        EXPECT_PRED_FORMAT2(testing::IsSubstring, "did not prove", secureLogin(certificate, signature));
    EXPECT_PRED_FORMAT2(testing::IsSubstring, "did not answer (resource binding)",
                        secureLogin(certificate, Answer::neverBinds));
    EXPECT_EQ(secureLogin(certificate, Answer::binds), "logged in, waited for our end");
}
