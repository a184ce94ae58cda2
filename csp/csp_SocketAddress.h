#pragma once

#include "csp_SystemSockets.h"

#include <memory>
#include <string>

#include "csp/csp_IpAddress.h"
#include "foundation/aio_ostream.h"
#include "foundation/cow_String.h"
#include "foundation/ipm_export.h"

// An IPv4 address and a port, in the record the system calls take. Every
// object owns its own record; copies never share one.
class csp_SocketAddress {
public:
    // Any address, the given port.
    IPM_EXPORT explicit csp_SocketAddress(int port);
    IPM_EXPORT csp_SocketAddress(const csp_IpAddress& ip, int port);
    IPM_EXPORT explicit csp_SocketAddress(const sockaddr_in& record);
    IPM_EXPORT csp_SocketAddress(const csp_SocketAddress& other);
    IPM_EXPORT ~csp_SocketAddress();

    IPM_EXPORT csp_SocketAddress& operator=(const csp_SocketAddress& other);
    IPM_EXPORT csp_SocketAddress& operator=(const sockaddr_in& record);

    // True when the port is not 0, whatever the address.
    IPM_EXPORT bool isDefined() const;

    // Host byte order; setPort keeps the low 16 bits.
    IPM_EXPORT int getPort() const;
    void setPort(int port);
    csp_IpAddress getIpAddress() const;
    void setIpAddress(const csp_IpAddress& ip);
    int getFamily() const;

    operator sockaddr_in() const;
    // "SocketAddress( IpAddress( 10.1.2.3 ), port 7000 )".
    cow_String toString() const;
    // "10.1.2.3".
    IPM_EXPORT std::string host() const;
    // "10.1.2.3:7000".
    IPM_EXPORT std::string hostAndPort() const;

private:
    std::unique_ptr<sockaddr_in> record;
};

aio_ostream& operator<<(aio_ostream& stream, const csp_SocketAddress& address);
