#pragma once

#include "csp/csp_ConnectableSocket.h"
#include "csp/csp_SocketAddress.h"
#include "foundation/ipm_export.h"

// A TCP stream socket over IPv4.
class IPM_EXPORT csp_TcpSocket : public csp_ConnectableSocket {
public:
    // Any non-zero value leaves the socket unbound.
    enum TcpBinding { BindAnyAddress = 0, NoBinding = 1 };

    // With BindAnyAddress the socket is bound to any local address, port 0.
    IPM_EXPORT explicit csp_TcpSocket(TcpBinding binding = BindAnyAddress);
    // Adopts a descriptor, as of an accepted connection.
    IPM_EXPORT explicit csp_TcpSocket(int descriptor);
    // For a descriptor another owner keeps and closes (a server library's,
    // say): the socket object never closes it.
    IPM_EXPORT static csp_TcpSocket borrowed(int descriptor);
    // Bound to `local`.
    IPM_EXPORT explicit csp_TcpSocket(const csp_SocketAddress& local);
    IPM_EXPORT csp_TcpSocket(const csp_TcpSocket& other);
    IPM_EXPORT csp_TcpSocket(csp_TcpSocket&& other) noexcept;
    IPM_EXPORT ~csp_TcpSocket() override;
    IPM_EXPORT csp_TcpSocket& operator=(const csp_TcpSocket& other);
    IPM_EXPORT csp_TcpSocket& operator=(csp_TcpSocket&& other) noexcept;

    using csp_Socket::reset;
    // A fresh TCP descriptor.
    IPM_HIDDEN void reset();

    IPM_EXPORT void setKeepAlives(bool on);
    IPM_HIDDEN bool getKeepAlives() const;
};
