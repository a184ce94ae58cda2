#include "csp/csp_TcpSocket.h"

#include "csp_SystemSockets.h"

#include "csp/impl/csp_SocketLayer.h"
#include "foundation/aio_ostream.h"

csp_TcpSocket::csp_TcpSocket(TcpBinding binding) : csp_ConnectableSocket(SOCK_STREAM, AF_INET, 0) {
    if (binding == BindAnyAddress) bind(csp_SocketAddress(0));
}

csp_TcpSocket::csp_TcpSocket(int descriptor) : csp_ConnectableSocket(descriptor) {}

csp_TcpSocket::csp_TcpSocket(const csp_SocketAddress& local) : csp_ConnectableSocket(SOCK_STREAM, local.getFamily(), 0) {
    bind(local);
}

csp_TcpSocket::csp_TcpSocket(const csp_TcpSocket& other) = default;

csp_TcpSocket::csp_TcpSocket(csp_TcpSocket&& other) noexcept = default;

csp_TcpSocket::~csp_TcpSocket() = default;

csp_TcpSocket& csp_TcpSocket::operator=(const csp_TcpSocket& other) = default;

csp_TcpSocket& csp_TcpSocket::operator=(csp_TcpSocket&& other) noexcept = default;

void csp_TcpSocket::reset() { reset(SOCK_STREAM, AF_INET, 0); }

int csp_TcpSocket::listen(int backlog) const { return ::listen(getDescriptor(), backlog); }

csp_TcpSocket csp_TcpSocket::acceptConnection() const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int accepted = csp_SocketLayer::accept(getDescriptor(), reinterpret_cast<sockaddr*>(&peer), &length);
    if (accepted < 0) {
        const int error = csp_SocketLayer::lastError();
        aio_cout.print("accept error: ").print_int(error).put('\n').flush();
    }
    return csp_TcpSocket(accepted);
}

void csp_TcpSocket::setKeepAlives(bool on) { setBoolOption(SO_KEEPALIVE, on); }

bool csp_TcpSocket::getKeepAlives() const { return getBoolOption(SO_KEEPALIVE); }
