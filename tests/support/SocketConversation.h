#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "csp/csp_TcpAcceptor.h"
#include "csp/csp_TcpSocket.h"

inline csp_IpAddress loopback() { return csp_IpAddress(0x7f000001u); }

inline csp_TcpSocket accepted(const csp_TcpAcceptor& listener) {
    csp_SocketAddress peer(0);
    std::string failure;
    std::optional<csp_TcpSocket> connection = listener.acceptConnection(peer, failure, 10000);
    if (!connection) throw std::runtime_error("nothing accepted: " + failure);
    return std::move(*connection);
}

// A client connected to a loopback listener, and the accepted end.
struct Conversation {
    csp_TcpAcceptor listener{csp_SocketAddress(loopback(), 0)};
    csp_TcpSocket client = [this] {
        csp_TcpSocket socket(csp_TcpSocket::NoBinding);
        socket.connectTo(listener.localAddress());
        return socket;
    }();
    csp_TcpSocket server = accepted(listener);
};
