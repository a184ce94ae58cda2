#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/omi_FatalError.h"
#include "support/NetworkChecks.h"

namespace {
std::string textOf(const nex_Exception& error) { return std::string(error.AsString().view()); }
}  // namespace

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
        EXPECT_EQ(textOf(*error), "5:socket_error");
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
