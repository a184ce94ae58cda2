#include "csp/csp_TcpSocket.h"

#include "csp_SystemSockets.h"


csp_TcpSocket::csp_TcpSocket(TcpBinding binding) : csp_ConnectableSocket(SOCK_STREAM, AF_INET, 0) {
    if (binding == BindAnyAddress) bind(csp_SocketAddress(0));
}

csp_TcpSocket::csp_TcpSocket(int descriptor) : csp_ConnectableSocket(descriptor) {}

csp_TcpSocket csp_TcpSocket::borrowed(int descriptor) {
    csp_TcpSocket socket(descriptor);
    socket.setToAutoClose(false);
    return socket;
}

csp_TcpSocket::csp_TcpSocket(const csp_SocketAddress& local) : csp_ConnectableSocket(SOCK_STREAM, local.getFamily(), 0) {
    bind(local);
}

csp_TcpSocket::csp_TcpSocket(const csp_TcpSocket& other) = default;

csp_TcpSocket::csp_TcpSocket(csp_TcpSocket&& other) noexcept = default;

csp_TcpSocket::~csp_TcpSocket() = default;

csp_TcpSocket& csp_TcpSocket::operator=(const csp_TcpSocket& other) = default;

csp_TcpSocket& csp_TcpSocket::operator=(csp_TcpSocket&& other) noexcept = default;

void csp_TcpSocket::reset() { reset(SOCK_STREAM, AF_INET, 0); }

void csp_TcpSocket::setKeepAlives(bool on) { setBoolOption(SO_KEEPALIVE, on); }

bool csp_TcpSocket::getKeepAlives() const { return getBoolOption(SO_KEEPALIVE); }
