#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "csp/csp_TcpSocket.h"
#include "jcl/jcl_Stream.h"
#include "tests/support/LoopbackPeer.h"

namespace {
const std::string streamStart = "<stream:stream xmlns:stream='http://etherx.jabber.org/streams'>";
const std::string chat = "<message to='a'><body>hi</body></message>";
const std::string chatWritten = "<message to=\"a\">\n<body>hi\n</body>\n</message>\n";
using Stanzas = std::vector<std::string>;

// Keeps each stanza handed over as written; its children must point at it.
class RecordingStream : public jcl_Stream {
public:
    RecordingStream(int port, int stanzaDepth, csp_TcpSocket socket)
        : jcl_Stream("127.0.0.1", static_cast<unsigned int>(port), stanzaDepth, std::move(socket)) {}

    void HandleStanza(jcl_Node& stanza) override {
        for (int i = 0; i < stanza.children.Count(); ++i)
            EXPECT_TRUE(stanza.isRoot && stanza.GetChild(i).parent == &stanza && !stanza.GetChild(i).isRoot);
        handed.push_back(std::string(stanza.Serialize().view()));
    }

    Stanzas handed;
};

// A stream reading from a loopback peer that the test writes.
class JclStream : public ::testing::Test {
protected:
    void Open(int stanzaDepth) {
        csp_TcpSocket socket;
        socket.connectTo(csp_SocketAddress(csp_IpAddress("127.0.0.1"), listener.Port()));
        socket.setToAutoClose(false);  // the stream's copy closes it
        descriptor = socket.getDescriptor();
        stream = std::make_unique<RecordingStream>(listener.Port(), stanzaDepth, socket);
        peer = std::make_unique<loopback::Peer>(listener.Accept());
    }

    // Writes the bytes, then Reads once when `together`, else until all are taken.
    void Feed(const std::string& bytes, bool together = false) {
        peer->Write(bytes);
        ASSERT_TRUE(loopback::WaitForUnread(descriptor, together ? static_cast<int>(bytes.size()) : 1));
        for (int taken = 0; taken < static_cast<int>(bytes.size()) && !together;) taken += stream->Read();
        if (together) stream->Read();
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
    EXPECT_THROW(RecordingStream(listener.Port(), 0, csp_TcpSocket()), std::invalid_argument);
    Open(2);
    Feed(streamStart);
    Feed(chat.substr(0, chat.size() - 1));
    EXPECT_TRUE(stream->handed.empty());
    Feed(">");
    Feed("\n  <presence type='away'><show>xa</show></presence>\n\n" + chat + "  </stream:stream>", true);
    Feed(chat);
    EXPECT_EQ(stream->handed, (Stanzas{chatWritten, "<presence type=\"away\">\n<show>xa\n</show>\n</presence>\n",
                                       chatWritten}));
}

// Parsing stops at a zero byte within a read, and for good at malformed input.
TEST_F(JclStream, AZeroByteEndsTheReadAndMalformedInputTheParse) {
    Open(2);
    Feed(streamStart + chat + std::string("\0<message><body>dropped", 23), true);
    Feed(chat + "<message><<bad/></message>" + chat);
    Feed(chat);
    EXPECT_EQ(stream->handed, (Stanzas{chatWritten, chatWritten}));
}

TEST_F(JclStream, ProcessBuildsBoundedTreesFromDeepNestingAndEndsWithTheStream) {
    Open(2);
    constexpr int nesting = 100000;
    std::thread writer([this] {
        std::string deep = streamStart + "<message>";
        for (int i = 0; i < nesting; ++i) deep += "<a>";
        deep += "text";
        for (int i = 0; i < nesting; ++i) deep += "</a>";
        peer->Write(deep + "</message>" + chat);
        peer->Close();
    });
    stream->Process();
    writer.join();
    ASSERT_EQ(stream->handed.size(), 2u);
    size_t built = 0;
    for (size_t at = stream->handed[0].find("<a>"); at != std::string::npos; at = stream->handed[0].find("<a>", at + 1))
        ++built;
    EXPECT_EQ(built, static_cast<size_t>(jcl_Node::maxBuiltDepth - 1));
    EXPECT_EQ(stream->handed[1], chatWritten);
}
