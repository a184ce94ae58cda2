#pragma once

#include "csp/csp_TcpSocket.h"

inline csp_IpAddress loopback() { return csp_IpAddress(0x7f000001u); }

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
