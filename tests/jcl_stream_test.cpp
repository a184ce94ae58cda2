#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "foundation/aio_ostream.h"
#include "jcl/jcl_Stream.h"
#include "tests/support/LoopbackPeer.h"

namespace {
const std::string streamStart = "<stream:stream xmlns:stream='http://etherx.jabber.org/streams'>";
const std::string chatMessage = "<message to='a'><body>hi</body></message>";

// What one HandleStanza call saw.
struct Handed {
    jcl_Node stanza;
    bool childrenPointAtTheStanza;
    int depth;
};

int TreeDepth(const jcl_Node& node) {
    int deepest = 0;
    for (const jcl_Node& child : node.children) deepest = std::max(deepest, TreeDepth(child));
    return deepest + 1;
}

class RecordingStream : public jcl_Stream {
public:
    RecordingStream(int port, int stanzaDepth, csp_TcpSocket socket)
        : jcl_Stream("127.0.0.1", static_cast<unsigned int>(port), stanzaDepth, socket) {}

    void HandleStanza(jcl_Node& stanza) override {
        bool linked = true;
        for (int i = 0; i < stanza.children.Count(); ++i) linked = linked && stanza.GetChild(i).parent == &stanza;
        handed.push_back({stanza, linked, TreeDepth(stanza)});
        if (stanza.GetTagName() == "fail") throw std::runtime_error("handler failed");
    }

    std::vector<Handed> handed;
};

csp_TcpSocket ConnectedSocket(int port) {
    csp_TcpSocket socket;
    socket.connectTo(csp_SocketAddress(csp_IpAddress("127.0.0.1"), port));
    socket.setToAutoClose(false);
    return socket;
}

// A stream reading from a loopback peer that the test writes.
class JclStream : public ::testing::Test {
protected:
    void Open(int stanzaDepth) {
        const csp_TcpSocket socket = ConnectedSocket(listener.Port());
        descriptor = socket.getDescriptor();
        stream = std::make_unique<RecordingStream>(listener.Port(), stanzaDepth, socket);
        peer = std::make_unique<loopback::Peer>(listener.Accept());
    }

    // Lets the next Read take all of `bytes` at once.
    void Send(const std::string& bytes) {
        peer->Write(bytes);
        ASSERT_TRUE(loopback::WaitForUnread(descriptor, static_cast<int>(bytes.size())));
    }

    // Writes the chunk, then Reads until the stream has taken all of it.
    void Feed(const std::string& chunk) {
        peer->Write(chunk);
        int taken = 0;
        while (taken < static_cast<int>(chunk.size())) {
            const int received = stream->Read();
            ASSERT_GT(received, 0);
            taken += received;
        }
    }

    void TearDown() override {
        // The peer goes first so that the stream's orderly disconnect ends at once.
        if (peer) peer->Close();
        stream.reset();
    }

    loopback::Listener listener;
    std::unique_ptr<RecordingStream> stream;
    std::unique_ptr<loopback::Peer> peer;
    int descriptor = -1;
};

void ExpectChatMessage(const Handed& handed) {
    const jcl_Node& message = handed.stanza;
    EXPECT_EQ(message.GetTagName(), "message");
    ASSERT_EQ(message.attributes.Count(), 1);
    EXPECT_EQ(message.attributes.ConstGet("to"), "a");
    EXPECT_EQ(message.text, "");
    ASSERT_EQ(message.children.Count(), 1);
    EXPECT_EQ(message.children[0].GetTagName(), "body");
    EXPECT_EQ(message.children[0].text, "hi");
    EXPECT_TRUE(message.isRoot && !message.children[0].isRoot && handed.childrenPointAtTheStanza);
}
}  // namespace

TEST_F(JclStream, HandsOverEachStanzaAtItsEndTag) {
    Open(2);
    Feed(streamStart);
    Feed(chatMessage.substr(0, chatMessage.size() - 1));
    EXPECT_TRUE(stream->handed.empty());
    Feed(">");
    ASSERT_EQ(stream->handed.size(), 1u);
    ExpectChatMessage(stream->handed[0]);

    Send("\n  <presence type='away'><show>xa</show></presence>\n\n" + chatMessage + "  ");
    stream->Read();
    ASSERT_EQ(stream->handed.size(), 3u);
    EXPECT_EQ(stream->handed[1].stanza.GetTagName(), "presence");
    EXPECT_EQ(stream->handed[1].stanza.text, "");
    EXPECT_EQ(stream->handed[1].stanza.children.Count(), 1);
    ExpectChatMessage(stream->handed[2]);
}

TEST_F(JclStream, DepthOneHandsOverTheWholeDocumentAndDepthZeroIsRefused) {
    EXPECT_THROW(RecordingStream(listener.Port(), 0, ConnectedSocket(listener.Port())), std::invalid_argument);
    ::close(listener.Accept());
    Open(1);
    Feed("<doc a='1'>top<item>x</item><item><deeper/></item></doc>");
    ASSERT_EQ(stream->handed.size(), 1u);
    const jcl_Node& doc = stream->handed[0].stanza;
    EXPECT_EQ(doc.GetTagName(), "doc");
    EXPECT_EQ(doc.text, "top");
    ASSERT_EQ(doc.children.Count(), 2);
    EXPECT_EQ(doc.children[1].children[0].GetTagName(), "deeper");
}

TEST_F(JclStream, ReadingStopsAtAZeroByte) {
    Open(2);
    Send(streamStart + chatMessage + std::string("\0<message><body>dropped", 23));
    stream->Read();
    Feed("<message to='a'><body>hi</body></message>");
    ASSERT_EQ(stream->handed.size(), 2u);
    ExpectChatMessage(stream->handed[0]);
    ExpectChatMessage(stream->handed[1]);
}

TEST_F(JclStream, MalformedInputStopsTheParseButNotTheProgram) {
    Open(2);
    Feed(streamStart + chatMessage + "<message><<bad/></message>" + chatMessage);
    Feed(chatMessage);
    ASSERT_EQ(stream->handed.size(), 1u);
    ExpectChatMessage(stream->handed[0]);
}

TEST_F(JclStream, ProcessBuildsBoundedTreesFromDeepNestingAndEndsWithTheStream) {
    Open(2);
    constexpr int nesting = 100000;
    std::thread writer([this] {
        std::string deep = streamStart + "<message>";
        for (int i = 0; i < nesting; ++i) deep += "<a>";
        deep += "text";
        for (int i = 0; i < nesting; ++i) deep += "</a>";
        peer->Write(deep + "</message>" + chatMessage);
        peer->Close();
    });
    stream->Process();
    writer.join();
    ASSERT_EQ(stream->handed.size(), 2u);
    EXPECT_EQ(stream->handed[0].stanza.GetTagName(), "message");
    EXPECT_EQ(stream->handed[0].depth, jcl_Node::maxBuiltDepth);
    ExpectChatMessage(stream->handed[1]);
}

TEST_F(JclStream, AHandlerExceptionLeavesReadAfterTheParse) {
    Open(2);
    Feed(streamStart);
    Send("<fail/>" + chatMessage);
    EXPECT_THROW(stream->Read(), std::runtime_error);
    ASSERT_EQ(stream->handed.size(), 2u);
    ExpectChatMessage(stream->handed[1]);
    Feed(chatMessage);
    EXPECT_EQ(stream->handed.size(), 3u);
}

TEST_F(JclStream, WritesAndSwitchesSockets) {
    Open(2);
    EXPECT_EQ(stream->Write("<presence/>"), 11);
    EXPECT_EQ(peer->Read(11), "<presence/>");

    Feed(streamStart);
    const csp_TcpSocket second = ConnectedSocket(listener.Port());
    loopback::Peer secondPeer(listener.Accept());
    stream->SetSocket(second);
    secondPeer.Write(chatMessage);
    ASSERT_TRUE(loopback::WaitForUnread(second.getDescriptor(), static_cast<int>(chatMessage.size())));
    EXPECT_EQ(stream->Read(), static_cast<int>(chatMessage.size()));
    ASSERT_EQ(stream->handed.size(), 1u);
    ExpectChatMessage(stream->handed[0]);

    // The first connection was left open; the test closes it.
    peer->Write("x");
    char received = 0;
    ASSERT_TRUE(loopback::WaitForUnread(descriptor, 1));
    EXPECT_EQ(::recv(descriptor, &received, 1, 0), 1);
    EXPECT_EQ(received, 'x');
    ::close(descriptor);
    secondPeer.Close();
}

TEST_F(JclStream, TheBaseHandlerPrintsTheStanza) {
    const csp_TcpSocket socket = ConnectedSocket(listener.Port());
    jcl_Stream plain("127.0.0.1", static_cast<unsigned int>(listener.Port()), 2, socket);
    loopback::Peer plainPeer(listener.Accept());
    std::ostringstream printed;
    aio_cout.SetTarget(printed);
    plainPeer.Write(streamStart + chatMessage);
    ASSERT_TRUE(loopback::WaitForUnread(socket.getDescriptor(), static_cast<int>((streamStart + chatMessage).size())));
    plain.Read();
    aio_cout.SetTarget(std::cout);
    EXPECT_EQ(printed.str(), "value\nvaluehi\n<message to=\"a\">\n<body>hi\n</body>\n</message>\n\n");
    plainPeer.Close();
}
