#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "csp/csp_NetworkException.h"
#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/omi_FatalError.h"

namespace {
std::string textOf(const nex_Exception& error) { return std::string(error.AsString().view()); }
}  // namespace

TEST(CspNetworkErrors, NamesAndMessagesCoverEveryKindAndNothingElse) {
    EXPECT_STREQ(csp_getNetworkErrorName(0), "invalid_address");
    EXPECT_STREQ(csp_getNetworkErrorName(1), "invalid_host");
    EXPECT_STREQ(csp_getNetworkErrorName(7), "eof_encountered");
    EXPECT_STREQ(csp_getNetworkErrorName(9), "system_call_timout");
    EXPECT_EQ(csp_getNetworkErrorName(10), nullptr);
    EXPECT_EQ(csp_getNetworkErrorName(-1), nullptr);

    EXPECT_EQ(csp_getNetworkErrorMessage(0), "An unknown or invalid address was supplied.");
    EXPECT_EQ(csp_getNetworkErrorMessage(8), "The operating system reported a failure during a system call.");
    EXPECT_EQ(csp_getNetworkErrorMessage(9), "The call made to the operating system has timed out.");
    EXPECT_TRUE(csp_getNetworkErrorMessage(10).isEmpty());
    EXPECT_TRUE(csp_getNetworkErrorMessage(-1).isEmpty());

    for (int kind = 0; kind < 10; ++kind) {
        ASSERT_NE(csp_getNetworkErrorName(kind), nullptr) << kind;
        const csp_NetworkException error(static_cast<csp_NetworkErrorKind>(kind), "x");
        EXPECT_EQ(error.getKindMessage(), csp_getNetworkErrorMessage(kind));
        EXPECT_FALSE(error.getKindMessage().isEmpty());
    }
}

TEST(CspNetworkErrors, ThrowPutsTheKindBeforeTheTextAndIsCaughtAsItsOwnType) {
    try {
        csp_throwNetworkError(write_failed, "socket_error");
        FAIL() << "returned";
    } catch (const csp_NetworkException& error) {
        EXPECT_EQ(error.getKind(), write_failed);
        EXPECT_EQ(textOf(error), "5:socket_error");
        EXPECT_STREQ(error.what(), "5:socket_error");
        EXPECT_STREQ(error.SourceFile(), "generated/csp/impl/csp_NetworkEx");
        EXPECT_GT(error.SourceLine(), 0);
    }
    try {
        csp_throwNetworkError(write_failed, cow_String());
        FAIL() << "returned";
    } catch (const csp_NetworkException& error) {
        EXPECT_EQ(textOf(error), "5:");
    }
}

TEST(CspNetworkErrors, CopiesAndRethrowsKeepTheTypeAndKind) {
    const csp_NetworkException original(eof_encountered, "7:");
    const std::unique_ptr<nex_Exception> copy(original.Copy());
    ASSERT_NE(dynamic_cast<csp_NetworkException*>(copy.get()), nullptr);
    try {
        copy->Propagate();
    } catch (const csp_NetworkException& error) {
        EXPECT_EQ(error.getKind(), eof_encountered);
        EXPECT_EQ(textOf(error), "7:");
    }
    // A handler for the base class sees the same object through Throw.
    try {
        csp_throwNetworkError(invalid_host, "somewhere");
    } catch (const nex_Exception& error) {
        const auto* network = dynamic_cast<const csp_NetworkException*>(&error);
        ASSERT_NE(network, nullptr);
        EXPECT_EQ(network->getKind(), invalid_host);
    }
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
            EXPECT_EQ(textOf(error), text);
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
