#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/omi_FatalError.h"
#include "foundation/utl_system.h"
#include "support/NetworkChecks.h"

namespace {
csp_IpAddress loopback() { return csp_IpAddress(0x7f000001u); }

bool isOpenDescriptor(int descriptor) { return ::fcntl(descriptor, F_GETFD) != -1; }

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

// A client connected to a loopback listener, and the accepted end.
struct Conversation {
    csp_TcpSocket listener{csp_SocketAddress(loopback(), 0)};
    int listening = listener.listen(8);
    csp_TcpSocket client = [this] {
        csp_TcpSocket socket(csp_TcpSocket::NoBinding);
        socket.connectTo(listener.name());
        return socket;
    }();
    csp_TcpSocket server = listener.acceptConnection();
};

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
    const int port = talk.listener.name().getPort();
    EXPECT_EQ(Printed(talk.client), "ConnectableSocket( " + std::to_string(talk.client.getDescriptor()) +
                                        ", SocketAddress( IpAddress( 127.0.0.1 ), port " + std::to_string(port) + " ) )");
    EXPECT_EQ(talk.server.write("xy", 2), 2);
    csp_SocketAddress from(0);
    char buffer[2];
    EXPECT_EQ(talk.client.receiveFrom(from, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    for (const csp_TcpSocket* socket : {&talk.listener, &talk.client, &talk.server})
        EXPECT_TRUE(::fcntl(socket->getDescriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(talk.client.getDescriptor(), F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(RaisedBy([&] { csp_TcpSocket taken(talk.listener.name()); }), "system_call_failure Error in csp_Socket::bind");
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
    talk.client.connectTo(talk.listener.name());
    EXPECT_TRUE(talk.client.isGood() && talk.client.throwsAtEndOfFile());
    csp_TcpSocket again = talk.listener.acceptConnection();
    EXPECT_EQ(talk.client.write("back", 4), 4);
    EXPECT_EQ(readExactly(again, 4), "back");
    const csp_SocketAddress closedPort = csp_TcpSocket(csp_SocketAddress(loopback(), 0)).name();
    csp_TcpSocket refused(csp_TcpSocket::NoBinding);
    EXPECT_EQ(RaisedBy([&] { refused.connectTo(closedPort); }),
              "system_call_failure Error in csp_ConnectableSocket::connectTo");
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

// The peer drains and then closes or resets; disconnect ends in either case.
TEST(CspTcpSocket, DisconnectDrainsUntilThePeerCloses) {
    for (const bool resetting : {false, true}) {
        Conversation talk;
        std::string peerSaw;
        std::thread peer([&] {
            char buffer[64];
            int got;
            while ((got = talk.server.read(buffer, sizeof buffer)) > 0) peerSaw.append(buffer, static_cast<size_t>(got));
            talk.server.write("late words", 10);
            resetting ? resetConnection(talk.server) : talk.server.close();
        });
        talk.client.write("bye", 3);
        EXPECT_NO_THROW(talk.client.disconnect());
        peer.join();
        EXPECT_EQ(peerSaw, "bye");
    }
    csp_TcpSocket unconnected(csp_TcpSocket::NoBinding);
    try {
        unconnected.disconnect();
        FAIL() << "returned";
    } catch (const omi_FatalError& error) {
        EXPECT_EQ(error.code, ENOTCONN);
    }
}

TEST(CspTcpSocket, CopiesShareTheDescriptorAndAutoCloseDecidesWhoClosesIt) {
    const int usersBefore = csp_SocketLayer::users();
    {
        csp_TcpSocket original(csp_TcpSocket::NoBinding);
        const int descriptor = original.getDescriptor();
        { const csp_TcpSocket copy(original); }
        EXPECT_FALSE(isOpenDescriptor(descriptor));
        original.setToAutoClose(false);  // its number may be reused by now

        csp_TcpSocket keeper(csp_TcpSocket::NoBinding);
        keeper.setToAutoClose(false);
        { const csp_TcpSocket copy(keeper); }
        EXPECT_TRUE(isOpenDescriptor(keeper.getDescriptor()));
        keeper.setToAutoClose(true);

        csp_TcpSocket source(csp_TcpSocket::NoBinding);
        const int moving = source.getDescriptor();
        csp_TcpSocket target(csp_TcpSocket::NoBinding);
        const int replaced = target.getDescriptor();
        target = std::move(source);
        EXPECT_EQ(target.getDescriptor(), moving);
        EXPECT_FALSE(isOpenDescriptor(replaced));
    }
    EXPECT_EQ(csp_SocketLayer::users(), usersBefore);
}

TEST(CspTcpSocket, ASignalDuringAReadDoesNotFailIt) {
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &previous), 0);  // no SA_RESTART
    Conversation talk;
    std::atomic<bool> reading{false};
    std::string received;
    std::thread reader([&] {
        reading = true;
        received = readExactly(talk.client, 2);
    });
    while (!reading) utl_sleep(1);
    for (int i = 0; i < 5; ++i) {
        utl_sleep(20);
        ::pthread_kill(reader.native_handle(), SIGUSR1);
    }
    talk.server.write("ok", 2);
    reader.join();
    EXPECT_EQ(received, "ok");
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(CspNetworkErrors, FailingCallsRaiseTheKindBeforeTheTextFromTheirClassFiles) {
    csp_TcpSocket socket(csp_TcpSocket::NoBinding);
    socket.close();
    try {
        socket.peerAddress();
        FAIL() << "returned";
    } catch (const nex_Exception& caught) {
        const auto* error = dynamic_cast<const csp_NetworkException*>(&caught);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(TextOf(*error), "Error in peerAddress");
        EXPECT_STREQ(error->SourceFile(), "generated/csp/impl/csp_ConnectableSocket");
        EXPECT_THROW(std::unique_ptr<nex_Exception>(error->Copy())->Propagate(), csp_NetworkException);
    }
    EXPECT_EQ(RaisedBy([&] { socket.name(); }), "system_call_failure Error in csp_Socket::name");
    EXPECT_EQ(RaisedBy([] { csp_throwNetworkError(write_failed, "socket_error"); }), "write_failed 5:socket_error");
}
