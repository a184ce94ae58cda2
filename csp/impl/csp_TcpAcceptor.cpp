#include "csp/csp_TcpAcceptor.h"

#include "csp_SystemSockets.h"

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_SocketLayer.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_TcpAcceptor";

[[noreturn]] void raiseFailure(const std::string& step, const csp_SocketAddress& where) {
    const int error = csp_SocketLayer::lastError();
    csp_NetworkException(system_call_failure,
                         cow_String((step + " " + where.hostAndPort() + ": " + csp_SocketLayer::errorText(error)).c_str()))
        .Throw(sourceFile, __LINE__);
}
}  // namespace

csp_TcpAcceptor::csp_TcpAcceptor(const csp_SocketAddress& local, int backlog) : socket(SOCK_STREAM, AF_INET, 0) {
    socket.setReuseAddress(true);
    const sockaddr_in record = local;
    if (::bind(socket.getDescriptor(), reinterpret_cast<const sockaddr*>(&record), sizeof record) != 0)
        raiseFailure("cannot bind to", local);
    if (::listen(socket.getDescriptor(), backlog) != 0 || !csp_SocketLayer::setBlocking(socket.getDescriptor(), false))
        raiseFailure("cannot listen on", local);
}

int csp_TcpAcceptor::getDescriptor() const { return socket.getDescriptor(); }

csp_SocketAddress csp_TcpAcceptor::localAddress() const { return socket.name(); }

// Already shut, or a system that refuses to shut a listening socket: nothing
// more to stop then.
void csp_TcpAcceptor::stop() { socket.tryShutdown(); }

std::optional<csp_TcpSocket> csp_TcpAcceptor::acceptConnection(csp_SocketAddress& peer, std::string& failure,
                                                              int waitMilliseconds) const {
    failure.clear();
    if (waitMilliseconds > 0 && csp_SocketLayer::waitReadable(socket.getDescriptor(), waitMilliseconds) < 0) {
        failure = csp_SocketLayer::errorText(csp_SocketLayer::lastError());
        return std::nullopt;
    }
    for (;;) {
        sockaddr_in record{};
        socklen_t length = sizeof record;
        const int accepted =
            csp_SocketLayer::accept(socket.getDescriptor(), reinterpret_cast<sockaddr*>(&record), &length);
        if (accepted >= 0) {
            csp_TcpSocket connection(accepted);
            // Some systems hand on the listening socket's mode.
            if (!csp_SocketLayer::setBlocking(accepted, true)) {
                failure = csp_SocketLayer::errorText(csp_SocketLayer::lastError());
                return std::nullopt;
            }
            peer = record;
            return connection;
        }
        const int error = csp_SocketLayer::lastError();
        if (csp_SocketLayer::wouldBlock(error)) return std::nullopt;
        if (csp_SocketLayer::acceptAgain(error)) continue;
        failure = csp_SocketLayer::errorText(error) + csp_SocketLayer::limitNote(error);
        return std::nullopt;
    }
}
