#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/omi_FatalError.h"
#include "foundation/utl_system.h"
#include "support/NetworkChecks.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto hangBound = std::chrono::seconds(15);

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

struct LoopbackListener {
    explicit LoopbackListener(int backlog = 8) { EXPECT_EQ(socket.listen(backlog), 0); }
    csp_SocketAddress address() const { return socket.name(); }

    csp_TcpSocket socket{csp_SocketAddress(loopback(), 0)};
};

csp_TcpSocket connectedTo(const LoopbackListener& listener) {
    csp_TcpSocket client(csp_TcpSocket::NoBinding);
    client.connectTo(listener.address());
    return client;
}

// A client connected to a loopback listener, and the accepted end.
struct Conversation {
    LoopbackListener listener;
    csp_TcpSocket client = connectedTo(listener);
    csp_TcpSocket server = listener.socket.acceptConnection();
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

    const csp_SocketAddress peer = talk.client.peerAddress();
    EXPECT_EQ(peer.getPort(), talk.listener.address().getPort());
    EXPECT_EQ(peer.getIpAddress(), loopback());
    EXPECT_EQ(talk.server.peerAddress().getPort(), talk.client.name().getPort());

    const std::string descriptor = std::to_string(talk.client.getDescriptor());
    EXPECT_EQ(Printed(talk.client), "ConnectableSocket( " + descriptor + ", SocketAddress( IpAddress( 127.0.0.1 ), port " +
                                        std::to_string(peer.getPort()) + " ) )");
    EXPECT_EQ(Printed(static_cast<const csp_Socket&>(talk.client)), "Socket( " + descriptor + " )");

    EXPECT_EQ(talk.server.write("xy", 2), 2);
    csp_SocketAddress from(csp_IpAddress(0x0a010203u), 9);
    char buffer[2];
    EXPECT_EQ(talk.client.receiveFrom(from, buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "xy");
    EXPECT_EQ(from.getPort(), 9);

    csp_TcpSocket unconnected(csp_TcpSocket::NoBinding);
    EXPECT_FALSE(unconnected.isConnected());
    EXPECT_EQ(Printed(unconnected),
              "ConnectableSocket( " + std::to_string(unconnected.getDescriptor()) + ", connection is not defined )");
    unconnected.close();
    EXPECT_EQ(Printed(static_cast<const csp_Socket&>(unconnected)), "Socket( Socket is not open )");
    EXPECT_EQ(Printed(unconnected), "ConnectableSocket( connection is not currently opened )");
}

TEST(CspTcpSocket, BindsAsAskedAndRefusesATakenPort) {
    const csp_TcpSocket bound(csp_TcpSocket::BindAnyAddress);
    EXPECT_NE(bound.name().getPort(), 0);
    EXPECT_FALSE(bound.name().getIpAddress().isDefined());
    EXPECT_EQ(bound.getType(), SOCK_STREAM);

    LoopbackListener listener;
    csp_TcpSocket unbound(csp_TcpSocket::NoBinding);
    EXPECT_EQ(unbound.name().getPort(), 0);
    unbound.connectTo(listener.address());
    EXPECT_EQ(unbound.name().getIpAddress(), loopback());

    EXPECT_EQ(RaisedBy([&] { csp_TcpSocket taken(listener.address()); }),
              "system_call_failure Error in csp_Socket::bind");
}

TEST(CspTcpSocket, OptionsReachTheSystemsOwnOptions) {
    csp_TcpSocket socket(csp_TcpSocket::NoBinding);
    // Linux doubles what it is given; its defaults lie outside both bounds.
    socket.setReceiveBufferSize(4096);
    EXPECT_LE(socket.getIntOption(SO_RCVBUF), 2 * 4096);
    EXPECT_EQ(socket.getReceiveBufferSize(), socket.getIntOption(SO_RCVBUF));
    socket.setSendBufferSize(65536);
    EXPECT_GE(socket.getIntOption(SO_SNDBUF), 65536);
    EXPECT_EQ(socket.getSendBufferSize(), socket.getIntOption(SO_SNDBUF));

    socket.setReuseAddress(true);
    EXPECT_TRUE(socket.getBoolOption(SO_REUSEADDR));
    socket.setRouting(false);
    EXPECT_TRUE(socket.getBoolOption(SO_DONTROUTE));
    EXPECT_FALSE(socket.getRouting());
    socket.setKeepAlives(true);
    EXPECT_EQ(socket.getIntOption(SO_KEEPALIVE), 1);
    socket.setKeepAlives(false);
    EXPECT_FALSE(socket.getKeepAlives());

    int seconds = -1;
    socket.setLinger(true, 7);
    EXPECT_TRUE(socket.getLinger(seconds));
    EXPECT_EQ(seconds, 7);
    socket.setLinger(false, 0);
    EXPECT_FALSE(socket.getLinger(seconds));
}

TEST(CspTcpSocket, EndOfStreamIsCountedOnceAndRaisesOnlyWhenAsked) {
    Conversation quiet;
    char buffer[8];
    quiet.server.close();
    EXPECT_EQ(quiet.client.read(buffer, sizeof buffer), 0);
    EXPECT_TRUE(quiet.client.isAtEndOfFile());
    EXPECT_TRUE(quiet.client.isGood());
    EXPECT_EQ(quiet.client.read(buffer, sizeof buffer), 0);

    Conversation loud;
    loud.client.setThrowAtEndOfFile(true);
    loud.server.shutdownSocketSends();
    EXPECT_EQ(RaisedBy([&] { loud.client.read(buffer, sizeof buffer); }), "eof_encountered 7:");
    EXPECT_TRUE(loud.client.hasState(csp_ConnectableSocket::EndOfFile | csp_ConnectableSocket::ThrowAtEndOfFile));
    EXPECT_EQ(loud.client.read(buffer, sizeof buffer), 0);

    // A write starts a new stretch of the stream: the next end counts again.
    EXPECT_EQ(loud.client.write("a", 1), 1);
    EXPECT_FALSE(loud.client.isAtEndOfFile());
    EXPECT_EQ(readExactly(loud.server, 1), "a");
    EXPECT_EQ(RaisedBy([&] { loud.client.read(buffer, sizeof buffer); }), "eof_encountered 7:");
}

TEST(CspTcpSocket, AFailedReadStopsTrafficUntilTheNextConnect) {
    Conversation talk;
    talk.client.setThrowAtEndOfFile(true);
    resetConnection(talk.server);
    char buffer[8];
    EXPECT_EQ(RaisedBy([&] { talk.client.read(buffer, sizeof buffer); }), "read_failed 4:socket_error");
    EXPECT_TRUE(talk.client.hasState(csp_ConnectableSocket::Failed));
    EXPECT_EQ(talk.client.write("x", 1), -1);
    EXPECT_EQ(talk.client.read(buffer, sizeof buffer), -1);
    csp_SocketAddress from(0);
    EXPECT_EQ(talk.client.receiveFrom(from, buffer, sizeof buffer), -1);

    talk.client.reset();
    talk.client.connectTo(talk.listener.address());
    EXPECT_TRUE(talk.client.isGood());
    EXPECT_TRUE(talk.client.throwsAtEndOfFile());
    csp_TcpSocket again = talk.listener.socket.acceptConnection();
    EXPECT_EQ(talk.client.write("back", 4), 4);
    EXPECT_EQ(readExactly(again, 4), "back");

    talk.client.close();
    EXPECT_EQ(RaisedBy([&] { talk.client.read(buffer, sizeof buffer); }), "read_failed 4:socket_error");
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
        EXPECT_EQ(talk.client.write("data", 4), -1);
    }
}

// The peer drains and closes, resets, or stays silent; disconnect ends in every case.
TEST(CspTcpSocket, DisconnectDrainsUntilThePeerClosesOrGivesUp) {
    enum Peer { closing, resetting, silent };
    for (const Peer behaviour : {closing, resetting, silent}) {
        Conversation talk;
        std::string peerSaw;
        std::thread peer([&] {
            if (behaviour == silent) return;
            char buffer[64];
            int got;
            while ((got = talk.server.read(buffer, sizeof buffer)) > 0) peerSaw.append(buffer, static_cast<size_t>(got));
            talk.server.write("late words", 10);
            behaviour == resetting ? resetConnection(talk.server) : talk.server.close();
        });
        talk.client.write("bye", 3);
        const auto start = Clock::now();
        EXPECT_NO_THROW(talk.client.disconnect());
        EXPECT_LT(Clock::now() - start, hangBound);
        peer.join();
        EXPECT_TRUE(talk.client.isOpen());
        if (behaviour == silent) {
            EXPECT_EQ(readExactly(talk.server, 4), "bye");
        } else {
            EXPECT_EQ(peerSaw, "bye");
        }
    }
}

TEST(CspTcpSocket, CopiesShareTheDescriptorAndAutoCloseDecidesWhoClosesIt) {
    const int usersBefore = csp_SocketLayer::users();
    {
        csp_TcpSocket original(csp_TcpSocket::NoBinding);
        const int descriptor = original.getDescriptor();
        {
            const csp_TcpSocket copy(original);
            EXPECT_EQ(copy.getDescriptor(), descriptor);
            EXPECT_EQ(csp_SocketLayer::users(), usersBefore + 2);
        }
        EXPECT_FALSE(isOpenDescriptor(descriptor));
        original.setToAutoClose(false);  // its number may be reused by now

        csp_TcpSocket keeper(csp_TcpSocket::NoBinding);
        keeper.setToAutoClose(false);
        {
            csp_TcpSocket first(keeper);
            csp_TcpSocket second(csp_TcpSocket::NoBinding);
            second = first;
            EXPECT_EQ(second.getDescriptor(), keeper.getDescriptor());
            EXPECT_FALSE(second.isAutoClose());
        }
        EXPECT_TRUE(isOpenDescriptor(keeper.getDescriptor()));
        keeper.setToAutoClose(true);

        csp_TcpSocket source(csp_TcpSocket::NoBinding);
        const int moving = source.getDescriptor();
        csp_TcpSocket target(csp_TcpSocket::NoBinding);
        const int replaced = target.getDescriptor();
        target = std::move(source);
        EXPECT_EQ(target.getDescriptor(), moving);
        EXPECT_FALSE(source.isOpen());
        EXPECT_FALSE(isOpenDescriptor(replaced));
        const csp_TcpSocket taken(std::move(target));
        EXPECT_TRUE(isOpenDescriptor(moving));
    }
    EXPECT_EQ(csp_SocketLayer::users(), usersBefore);
}

TEST(CspTcpSocket, DescriptorsAreCloseOnExecAndConnectLeavesThemBlocking) {
    Conversation talk;
    talk.server.reset();
    EXPECT_TRUE(talk.server.isOpen());
    EXPECT_FALSE(talk.server.isConnected());
    for (const csp_TcpSocket* socket : {&talk.listener.socket, &talk.client, &talk.server})
        EXPECT_TRUE(::fcntl(socket->getDescriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_FALSE(::fcntl(talk.client.getDescriptor(), F_GETFL) & O_NONBLOCK);
}

TEST(CspTcpSocket, ListenAndAcceptReportFailureWithoutRaising) {
    csp_TcpSocket fresh(csp_TcpSocket::NoBinding);
    fresh.close();
    EXPECT_EQ(fresh.listen(1), -1);

    std::ostringstream console;
    aio_cout.SetTarget(console);
    const csp_TcpSocket accepted = fresh.acceptConnection();
    aio_cout.SetTarget(std::cout);
    EXPECT_FALSE(accepted.isOpen());
    EXPECT_EQ(console.str(), "accept error: " + std::to_string(EBADF) + "\n");
}

TEST(CspTcpSocket, ConnectRaisesOnAClosedPortAndGivesUpOnAStalledListener) {
    csp_SocketAddress closedPort(0);
    {
        const csp_TcpSocket probe(csp_SocketAddress(loopback(), 0));
        closedPort = probe.name();
    }
    csp_TcpSocket refused(csp_TcpSocket::NoBinding);
    EXPECT_EQ(RaisedBy([&] { refused.connectTo(closedPort); }),
              "system_call_failure Error in csp_ConnectableSocket::connectTo");

    // A listener whose queue is full stops answering: the connect must end.
    LoopbackListener stalled(0);
    std::vector<csp_TcpSocket> queued;
    std::string outcome = "nothing raised";
    while (queued.size() < 4 && outcome == "nothing raised") {
        queued.emplace_back(csp_TcpSocket::NoBinding);
        const auto start = Clock::now();
        outcome = RaisedBy([&] { queued.back().connectTo(stalled.address()); });
        EXPECT_LT(Clock::now() - start, hangBound);
    }
    EXPECT_EQ(outcome, "system_call_failure Error in csp_ConnectableSocket::connectTo");
}

TEST(CspTcpSocket, ASignalDuringAReadDoesNotFailIt) {
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
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
    EXPECT_TRUE(talk.client.isGood());
    ::sigaction(SIGUSR1, &previous, nullptr);
}

TEST(CspNetworkErrors, NamesAndMessagesCoverEveryKindAndNothingElse) {
    EXPECT_STREQ(csp_getNetworkErrorName(0), "invalid_address");
    EXPECT_STREQ(csp_getNetworkErrorName(9), "system_call_timout");
    EXPECT_EQ(csp_getNetworkErrorMessage(0), "An unknown or invalid address was supplied.");
    EXPECT_EQ(csp_getNetworkErrorMessage(9), "The call made to the operating system has timed out.");
    for (const int outside : {-1, 10}) {
        EXPECT_EQ(csp_getNetworkErrorName(outside), nullptr);
        EXPECT_TRUE(csp_getNetworkErrorMessage(outside).isEmpty());
    }
    for (int kind = 0; kind < 10; ++kind) {
        ASSERT_NE(csp_getNetworkErrorName(kind), nullptr) << kind;
        const csp_NetworkException error(static_cast<csp_NetworkErrorKind>(kind), "x");
        EXPECT_EQ(error.getKindMessage(), csp_getNetworkErrorMessage(kind));
        EXPECT_FALSE(error.getKindMessage().isEmpty());
    }
}

TEST(CspNetworkErrors, ThrowPutsTheKindBeforeTheTextAndCopiesKeepTheType) {
    try {
        csp_throwNetworkError(write_failed, "socket_error");
        FAIL() << "returned";
    } catch (const nex_Exception& caught) {
        const auto* error = dynamic_cast<const csp_NetworkException*>(&caught);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->getKind(), write_failed);
        EXPECT_EQ(TextOf(*error), "5:socket_error");
        EXPECT_STREQ(error->what(), "5:socket_error");
        EXPECT_STREQ(error->SourceFile(), "generated/csp/impl/csp_NetworkEx");
        EXPECT_GT(error->SourceLine(), 0);
        const std::unique_ptr<nex_Exception> copy(error->Copy());
        EXPECT_THROW(copy->Propagate(), csp_NetworkException);
    }
    EXPECT_EQ(RaisedBy([] { csp_throwNetworkError(eof_encountered, cow_String()); }), "eof_encountered 7:");
}

TEST(CspNetworkErrors, FailingSystemCallsRaiseTheirFixedTextsFromTheirClassFiles) {
    const int layerUsers = csp_SocketLayer::users();
    csp_TcpSocket socket(csp_TcpSocket::NoBinding);
    socket.close();
    auto expectFailure = [](auto call, const char* text, const char* file) {
        try {
            call();
            ADD_FAILURE() << text << ": nothing raised";
        } catch (const csp_NetworkException& error) {
            EXPECT_EQ(error.getKind(), system_call_failure) << text;
            EXPECT_EQ(TextOf(error), text);
            EXPECT_STREQ(error.SourceFile(), file) << text;
        }
    };
    const char* socketFile = "generated/csp/impl/csp_Socket";
    const char* connectableFile = "generated/csp/impl/csp_ConnectableSocket";
    expectFailure([&] { socket.bind(csp_SocketAddress(0)); }, "Error in csp_Socket::bind", socketFile);
    expectFailure([&] { socket.shutdown(); }, "Error in csp_Socket::shutdown", socketFile);
    expectFailure([&] { socket.setReuseAddress(true); }, "Error in csp_Socket::setOption", socketFile);
    expectFailure([&] { socket.getType(); }, "Error in csp_Socket::getOption()", socketFile);
    expectFailure([&] { socket.name(); }, "Error in csp_Socket::name", socketFile);
    expectFailure([&] { socket.reset(SOCK_STREAM, -1, 0); }, "Error in csp_Socket::reset", socketFile);
    expectFailure([&] { csp_Socket(SOCK_STREAM, -1, 0); }, "Error in csp_Socket constructor", socketFile);
    expectFailure([&] { socket.peerAddress(); }, "Error in peerAddress", connectableFile);
    expectFailure([&] { socket.connectTo(csp_SocketAddress(csp_IpAddress(0x7f000001u), 1)); },
                  "Error in csp_ConnectableSocket::connectTo", connectableFile);
    csp_TcpSocket unconnected(csp_TcpSocket::NoBinding);
    csp_SocketAddress from(0);
    char buffer[4];
    expectFailure([&] { unconnected.receiveFrom(from, buffer, sizeof buffer); }, "Error in receive from",
                  connectableFile);
    // Constructors that raised hold no start-up of the socket layer.
    EXPECT_EQ(csp_SocketLayer::users(), layerUsers + 2);
}

TEST(CspNetworkErrors, DisconnectTurnsAFailedShutdownIntoAFatalError) {
    csp_TcpSocket socket(csp_TcpSocket::NoBinding);
    try {
        socket.disconnect();
        FAIL() << "returned";
    } catch (const omi_FatalError& error) {
        EXPECT_STREQ(error.call, "shutdown");
        EXPECT_EQ(error.code, ENOTCONN);
    }
}
