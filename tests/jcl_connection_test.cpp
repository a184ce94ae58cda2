#include <gtest/gtest.h>

#include <chrono>
#include <future>
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
    server->Write(serverHeader + "<iq type=\"error\"><error code=\"409\">conflict</error></iq>");
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
