#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Stream.h"
#include "tests/support/LoopbackPeer.h"

namespace {
const std::string streamStart = "<stream:stream xmlns:stream='http://etherx.jabber.org/streams'>";
const std::string chatMessage = "<message to='a'><body>hi</body></message>";

const std::string chatSerialized = "<message to=\"a\">\n<body>hi\n</body>\n</message>\n";

int TreeDepth(const jcl_Node& node) {
    int deepest = 0;
    for (const jcl_Node& child : node.children) deepest = std::max(deepest, TreeDepth(child));
    return deepest + 1;
}

// Keeps each stanza handed over as written, and its depth; the children of
// a stanza must point at it.
class RecordingStream : public jcl_Stream {
public:
    RecordingStream(int port, int stanzaDepth, csp_TcpSocket socket)
        : jcl_Stream("127.0.0.1", static_cast<unsigned int>(port), stanzaDepth, socket) {}

    void HandleStanza(jcl_Node& stanza) override {
        for (int i = 0; i < stanza.children.Count(); ++i)
            EXPECT_TRUE(stanza.isRoot && stanza.GetChild(i).parent == &stanza && !stanza.GetChild(i).isRoot);
        handed.push_back(std::string(stanza.Serialize().view()));
        depths.push_back(TreeDepth(stanza));
        if (stanza.GetTagName() == "fail") throw std::runtime_error("handler failed");
    }

    std::vector<std::string> handed;
    std::vector<int> depths;
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

}  // namespace

TEST_F(JclStream, HandsOverEachStanzaAtItsEndTagAndNothingAtTheStreamsEnd) {
    Open(2);
    Feed(streamStart);
    Feed(chatMessage.substr(0, chatMessage.size() - 1));
    EXPECT_TRUE(stream->handed.empty());
    Feed(">");
    EXPECT_EQ(stream->handed, std::vector<std::string>{chatSerialized});
    Send("\n  <presence type='away'><show>xa</show></presence>\n\n" + chatMessage + "  </stream:stream>");
    stream->Read();
    Feed(chatMessage);
    EXPECT_EQ(stream->handed, (std::vector<std::string>{chatSerialized,
                                                        "<presence type=\"away\">\n<show>xa\n</show>\n</presence>\n",
                                                        chatSerialized}));
}

TEST_F(JclStream, DepthOneHandsOverTheWholeDocumentAndDepthZeroIsRefused) {
    EXPECT_THROW(RecordingStream(listener.Port(), 0, ConnectedSocket(listener.Port())), std::invalid_argument);
    ::close(listener.Accept());
    Open(1);
    Feed("<doc a='1'>top<item>x</item><item><deeper/></item></doc>");
    EXPECT_EQ(stream->handed, std::vector<std::string>{"<doc a=\"1\">top\n<item>x\n</item>\n<item>\n<deeper>\n"
                                                       "</deeper>\n</item>\n</doc>\n"});
}

// Parsing stops at a zero byte within a read, and for good at malformed input.
TEST_F(JclStream, AZeroByteEndsTheReadAndMalformedInputTheParse) {
    Open(2);
    Send(streamStart + chatMessage + std::string("\0<message><body>dropped", 23));
    stream->Read();
    Feed(chatMessage + "<message><<bad/></message>" + chatMessage);
    Feed(chatMessage);
    EXPECT_EQ(stream->handed, (std::vector<std::string>{chatSerialized, chatSerialized}));
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
    EXPECT_EQ(stream->depths[0], jcl_Node::maxBuiltDepth);
    EXPECT_EQ(stream->handed[1], chatSerialized);
}

TEST_F(JclStream, AHandlerExceptionLeavesReadAfterTheParse) {
    Open(2);
    Feed(streamStart);
    Send("<fail/>" + chatMessage);
    EXPECT_THROW(stream->Read(), std::runtime_error);
    Feed(chatMessage);
    EXPECT_EQ(stream->handed, (std::vector<std::string>{"<fail>\n</fail>\n", chatSerialized, chatSerialized}));
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
    EXPECT_EQ(stream->handed, std::vector<std::string>{chatSerialized});
    // The first connection was left open; the test closes it.
    EXPECT_EQ(::close(descriptor), 0);
    secondPeer.Close();
}
