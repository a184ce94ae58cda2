#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "csp/csp_TcpAcceptor.h"
#include "csp/csp_TcpSocket.h"
#include "foundation/utl_system.h"
#include "support/NetworkChecks.h"
#include "support/SocketConversation.h"

namespace {
std::string readExactly(csp_ConnectableSocket& socket, int count) {
    std::string received;
    char buffer[256];
    while (static_cast<int>(received.size()) < count) {
        const int got = socket.read(buffer, std::min<int>(sizeof buffer, count - static_cast<int>(received.size())));
        if (got <= 0) break;
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

// Resets the connection instead of closing it in order.
void resetConnection(csp_TcpSocket& socket) {
    socket.setLinger(true, 0);
    socket.close();
}
}  // namespace

TEST(CspTcpSocket, CarriesBytesBothWaysAndPrintsItsConnection) {
    Conversation talk;
    EXPECT_EQ(talk.client.write("hello", 5), 5);
    EXPECT_EQ(readExactly(talk.server, 5), "hello");
    EXPECT_EQ(Printed(talk.client), "ConnectableSocket( " + std::to_string(talk.client.getDescriptor()) +
                                        ", SocketAddress( IpAddress( 127.0.0.1 ), port " +
                                        std::to_string(talk.listener.localAddress().getPort()) + " ) )");
    for (const int descriptor : {talk.listener.getDescriptor(), talk.client.getDescriptor(), talk.server.getDescriptor()})
        EXPECT_TRUE(::fcntl(descriptor, F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(talk.client.getDescriptor(), F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(::fcntl(talk.server.getDescriptor(), F_GETFL) & O_NONBLOCK);
}

TEST(CspTcpSocket, EndOfStreamIsCountedOnceAndRaisesOnlyWhenAsked) {
    Conversation quiet;
    char buffer[8];
    quiet.server.close();
    EXPECT_EQ(quiet.client.read(buffer, sizeof buffer), 0);
    EXPECT_TRUE(quiet.client.isAtEndOfFile() && quiet.client.isGood());

    Conversation loud;
    loud.client.setThrowAtEndOfFile(true);
    loud.server.shutdownSocketSends();
    EXPECT_EQ(RaisedBy([&] { loud.client.read(buffer, sizeof buffer); }), "eof_encountered 7:");
    EXPECT_EQ(loud.client.read(buffer, sizeof buffer), 0);
    // A write starts a new stretch of the stream: the next end counts again.
    EXPECT_EQ(loud.client.write("a", 1), 1);
    EXPECT_EQ(readExactly(loud.server, 1), "a");
    EXPECT_EQ(RaisedBy([&] { loud.client.read(buffer, sizeof buffer); }), "eof_encountered 7:");
}

TEST(CspTcpSocket, AFailedReadStopsTrafficUntilTheNextConnect) {
    Conversation talk;
    talk.client.setThrowAtEndOfFile(true);
    resetConnection(talk.server);
    char buffer[8];
    EXPECT_EQ(RaisedBy([&] { talk.client.read(buffer, sizeof buffer); }), "read_failed 4:socket_error");
    EXPECT_EQ(talk.client.write("x", 1), -1);
    EXPECT_EQ(talk.client.read(buffer, sizeof buffer), -1);

    talk.client.reset();
    talk.client.connectTo(talk.listener.localAddress());
    EXPECT_TRUE(talk.client.throwsAtEndOfFile());
    csp_TcpSocket again = accepted(talk.listener);
    EXPECT_EQ(talk.client.write("back", 4), 4);
    EXPECT_EQ(readExactly(again, 4), "back");
    const csp_SocketAddress closedPort = csp_TcpSocket(csp_SocketAddress(loopback(), 0)).name();
    csp_TcpSocket refused(csp_TcpSocket::NoBinding);
    EXPECT_EQ(RaisedBy([&] { refused.connectTo(closedPort); }),
              "system_call_failure Error in csp_ConnectableSocket::connectTo");
}

TEST(CspTcpSocket, ABorrowedDescriptorIsWaitedOnAndShutButNeverClosed) {
    Conversation talk;
    {
        csp_TcpSocket borrowed = csp_TcpSocket::borrowed(talk.server.getDescriptor());
        EXPECT_FALSE(borrowed.waitReadable(0)) << "nothing sent yet";
        EXPECT_TRUE(borrowed.waitWritable(0));
        EXPECT_EQ(talk.client.write("x", 1), 1);
        EXPECT_TRUE(borrowed.waitReadable(5000));
        EXPECT_EQ(borrowed.peerAddress().hostAndPort(), talk.client.name().hostAndPort());
        EXPECT_EQ(borrowed.name().host(), "127.0.0.1");
    }
    EXPECT_NE(::fcntl(talk.server.getDescriptor(), F_GETFD), -1) << "the borrowed descriptor was closed";
    EXPECT_EQ(readExactly(talk.server, 1), "x");
    EXPECT_TRUE(talk.server.tryShutdown());
    char buffer[4];
    EXPECT_TRUE(talk.client.waitReadable(5000)) << "the peer sees the end";
    EXPECT_EQ(talk.client.read(buffer, sizeof buffer), 0);
    talk.server.close();
    EXPECT_FALSE(talk.server.tryShutdown()) << "a closed socket is refused, quietly";
    EXPECT_FALSE(talk.server.waitReadable(0));
}

TEST(CspTcpSocket, WritingToAPeerThatWentAwayRaisesAndDoesNotKillTheProcess) {
    for (const bool reset : {false, true}) {
        Conversation talk;
        reset ? resetConnection(talk.server) : talk.server.close();
        std::string raised = "nothing raised";
        for (int attempt = 0; attempt < 200 && raised == "nothing raised"; ++attempt) {
            raised = RaisedBy([&] { talk.client.write("data", 4); });
            utl_sleep(5);
        }
        EXPECT_EQ(raised, "write_failed 5:socket_error") << (reset ? "reset" : "closed");
    }
}

// The calls a loop over many sockets makes: none waits, none raises, and
// each failure reaches the caller in words.
TEST(CspTcpAcceptor, NothingWaitsAndEveryFailureIsToldToTheCaller) {
    Conversation talk;
    csp_SocketAddress peer(0);
    std::string failure = "stale";
    EXPECT_FALSE(talk.listener.acceptConnection(peer, failure));
    EXPECT_EQ(failure, "");
    const csp_SocketAddress bound = talk.listener.localAddress();
    EXPECT_EQ(RaisedBy([&] { csp_TcpAcceptor second(bound); }),
              "system_call_failure cannot bind to " + bound.hostAndPort() + ": Address already in use");

    char buffer[8];
    EXPECT_EQ(talk.server.readAvailable(buffer, sizeof buffer, failure), -1);
    EXPECT_EQ(failure, "");
    EXPECT_EQ(talk.client.writeAvailable("ping", 4, failure), 4);
    EXPECT_EQ(readExactly(talk.server, 4), "ping");
    resetConnection(talk.client);
    // The reset arrives in a moment.
    for (int attempt = 0; attempt < 500 && talk.server.readAvailable(buffer, sizeof buffer, failure) < 0 &&
                          failure.empty();
         ++attempt)
        utl_sleep(5);
    EXPECT_EQ(failure, "Connection reset by peer");
    EXPECT_FALSE(talk.server.isGood());

    // Out of descriptors: the waiting connection stays, and the words say
    // how many descriptors the process may hold.
    csp_TcpSocket waiting(csp_TcpSocket::NoBinding);
    waiting.connectTo(bound);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit full = saved;
    full.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &full), 0);
    const bool taken = talk.listener.acceptConnection(peer, failure).has_value();
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_FALSE(taken);
    EXPECT_EQ(failure, "Too many open files (at most " + std::to_string(lowestFree) + " open descriptors)");
    std::optional<csp_TcpSocket> later = talk.listener.acceptConnection(peer, failure, 10000);
    ASSERT_TRUE(later);
    EXPECT_EQ(peer.hostAndPort(), waiting.name().hostAndPort());
}

TEST(CspNetworkErrors, FailingCallsRaiseTheKindBeforeTheTextFromTheirClassFiles) {
    csp_TcpSocket socket(csp_TcpSocket::NoBinding);
    socket.close();
    try {
        socket.peerAddress();
        FAIL() << "returned";
    } catch (const nex_Exception& caught) {
        EXPECT_STREQ(caught.SourceFile(), "generated/csp/impl/csp_ConnectableSocket");
        EXPECT_THROW(std::unique_ptr<nex_Exception>(caught.Copy())->Propagate(), csp_NetworkException);
    }
    EXPECT_EQ(RaisedBy([&] { socket.name(); }), "system_call_failure Error in csp_Socket::name");
}
