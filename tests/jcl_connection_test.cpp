#include <gtest/gtest.h>

#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "csp/csp_NetworkException.h"
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"
#include "tests/support/LoopbackPeer.h"

namespace {
const std::string streamHeader =
    "<?xml version=\"1.0\"?>\n<stream:stream xmlns:stream=\"http://etherx.jabber.org/streams\" "
    "to=\"127.0.0.1\" xmlns=\"jabber:client\">\n";

// What the handlers were given, in order.
struct Delivery {
    std::string kind;
    jcl_Message message;
    jcl_IQ iq;
    jcl_Presence presence;
};
std::vector<Delivery> delivered;

void RecordMessage(jcl_Connection&, jcl_Entity& stanza) {
    delivered.push_back({"message", static_cast<jcl_Message&>(stanza), {}, {}});
}
void RecordPresence(jcl_Connection&, jcl_Entity& stanza) {
    delivered.push_back({"presence", {}, {}, static_cast<jcl_Presence&>(stanza)});
}
void RecordIQ(jcl_Connection&, jcl_Entity& stanza) {
    delivered.push_back({"IQ", {}, static_cast<jcl_IQ&>(stanza), {}});
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
        ASSERT_EQ(server->Read(streamHeader.size()), streamHeader);
    }

    // Sends `bytes` from the server and lets one Receive take them in one read.
    void Deliver(const std::string& bytes, int timeout = 1000) {
        server->Write(bytes);
        ASSERT_TRUE(loopback::WaitForUnread(connection.socket.getDescriptor(), static_cast<int>(bytes.size())));
        connection.Receive(timeout);
    }

    loopback::Listener listener;
    jcl_Connection connection;
    std::unique_ptr<loopback::Peer> server;
};
}  // namespace

TEST_F(JclConnection, ReceiveIsQuietOnSilenceAndOnAnOrderlyEnd) {
    connection.Receive(10);
    server->EndSending();
    connection.Receive(2000);
    connection.Receive(2000);
    EXPECT_TRUE(delivered.empty());
    EXPECT_TRUE(connection.Disconnect());
    EXPECT_EQ(server->ReadToEnd(), "</stream:stream>\n");
    EXPECT_FALSE(connection.socket.isOpen());
    connection.Receive(0);
    EXPECT_TRUE(delivered.empty());
}

TEST_F(JclConnection, RegistersAndAuthorizesWithOneReadEach) {
    server->Write("<iq type=\"error\" id=\"r\"><query xmlns=\"jabber:iq:register\"/>"
                  "<error code=\"409\">conflict</error></iq>");
    EXPECT_TRUE(connection.Register("Job name", "u", "p"));
    const std::string registration =
        "<iq to=\"127.0.0.1\" type=\"set\"><query xmlns=\"jabber:iq:register\"><username>u</username>"
        "<password>p</password><name>Job name</name><email>dummy</email></query></iq>\n";
    EXPECT_EQ(server->Read(registration.size()), registration);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].kind, "IQ");
    EXPECT_EQ(delivered[0].iq.errorCode, 409);
    EXPECT_EQ(delivered[0].iq.queryNamespace, "jabber:iq:register");

    server->Write("<iq type=\"result\"/>");
    EXPECT_TRUE(connection.Authorize("u", "", "r"));
    const std::string login =
        "<iq to=\"127.0.0.1\" type=\"set\"><query xmlns=\"jabber:iq:auth\"><username>u</username>"
        "<resource>r</resource></query></iq>\n";
    EXPECT_EQ(server->Read(login.size()), login);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].iq.type, "result");
}

TEST_F(JclConnection, DispatchesEachKindToItsHandler) {
    Deliver("<message from=\"l@s/r\" type=\"chat\"><body>b</body><x xmlns=\"kelvane:msg\">Kill</x></message>");
    Deliver("<presence type=\"unavailable\"><priority>3</priority></presence>");
    Deliver("<iq type='result'><error code=\"1\"/><query xmlns=\"jabber:iq:auth\"><username>u</username></query></iq>");
    Deliver("<stream:features/>");
    ASSERT_EQ(delivered.size(), 3u);

    EXPECT_EQ(delivered[0].kind, "message");
    EXPECT_EQ(delivered[0].message.from, "l@s/r");
    EXPECT_EQ(delivered[0].message.body, "b");
    EXPECT_EQ(delivered[0].message.x, "<x xmlns=\"kelvane:msg\">Kill</x>\n");
    EXPECT_EQ(delivered[1].kind, "presence");
    EXPECT_EQ(delivered[1].presence.priority, 3);
    EXPECT_EQ(delivered[2].kind, "IQ");
    EXPECT_EQ(delivered[2].iq.username, "u");
    EXPECT_EQ(delivered[2].iq.errorCode, 1);
}

TEST_F(JclConnection, DefaultAndNullHandlersDiscardStanzas) {
    jcl_Connection plain;
    plain.SetMessageHandler(nullptr);
    ASSERT_TRUE(plain.Connect("127.0.0.1", listener.Port()));
    loopback::Peer other(listener.Accept());
    for (const std::string stanza : {"<message><body>b</body></message>", "<presence/>"}) {
        other.Write(stanza);
        ASSERT_TRUE(loopback::WaitForUnread(plain.socket.getDescriptor(), static_cast<int>(stanza.size())));
        plain.Receive(1000);
    }
    EXPECT_TRUE(delivered.empty());
}

TEST_F(JclConnection, OneReadIsOneDocument) {
    Deliver("<message><body>first</body></message><message><body>second</body></message>");
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message.body, "first");

    Deliver("<?xml version='1.0'?><stream:stream xmlns='jabber:client' from='s' id='1' "
            "xmlns:stream='http://etherx.jabber.org/streams'><message><body>lost</body></message>");
    EXPECT_EQ(delivered.size(), 1u);

    Deliver("<message><body>line\n</body>\n  <subject>s</subject>\n</message>");
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].message.body, "line\n");
    EXPECT_EQ(delivered[1].message.subject, "s");
}

TEST_F(JclConnection, AStanzaCutAtTheReadSizeIsDispatchedInPart) {
    const std::string text(2500, 'a');
    server->Write("<message><subject>s</subject><body>" + text + "</body></message>");
    ASSERT_TRUE(loopback::WaitForUnread(connection.socket.getDescriptor(), 2500));
    connection.Receive(1000);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message.subject, "s");
    EXPECT_EQ(delivered[0].message.body.length(), 2000 - 35);

    connection.Receive(1000);
    EXPECT_EQ(delivered.size(), 1u);
}

TEST_F(JclConnection, HostileReadsAreSurvivedAndWhatIsWellFormedIsDispatched) {
    Deliver(" ");
    Deliver(std::string("<message><body>hi</body></message>\0<presence/>", 46));
    Deliver(std::string("\0<message/>", 11));
    Deliver("<message><body>hi</bod></message>");
    Deliver("<<<&&&>>>\"'");

    std::string deep = "<message>";
    for (int i = 0; i < 600; ++i) deep += "<x>";
    Deliver(deep);

    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_EQ(delivered[0].message.body, "hi");
    EXPECT_EQ(delivered[1].message.body, "hi");
    // The nested extension elements down to the bound, each as "<x>" ... "</x>\n".
    const std::string& nested = delivered[2].message.x.text();
    EXPECT_EQ(nested.find("<x><x>"), 0u);
    EXPECT_EQ(static_cast<int>(nested.size()), (jcl_Node::maxBuiltDepth - 1) * 8);
}

TEST_F(JclConnection, SendReportsTrueWhenTheWriteRaises) {
    ::shutdown(connection.socket.getDescriptor(), SHUT_WR);
    jcl_Message report;
    report.SetX("p");
    EXPECT_TRUE(connection.Send(report));
    EXPECT_TRUE(connection.socket.hasState(csp_ConnectableSocket::Failed));
    EXPECT_TRUE(connection.Send(report));
}

TEST_F(JclConnection, AResetConnectionRaisesFromReceive) {
    server->Reset();
    EXPECT_THROW(connection.Receive(2000), csp_NetworkException);
}

TEST(JclConnectionFailure, ConnectingToAClosedPortRaises) {
    loopback::Listener notListening(false);
    jcl_Connection connection;
    EXPECT_THROW(connection.Connect("127.0.0.1", notListening.Port()), csp_NetworkException);
    EXPECT_THROW(connection.Connect("999.1.1.1", notListening.Port()), csp_NetworkException);
}
