#pragma once

#include <optional>
#include <string>

#include "csp/csp_Socket.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "foundation/ipm_export.h"

// A listening TCP socket that never waits longer than it is told:
// acceptConnection() hands over a connection waiting now, or says why it
// cannot, and leaves what to do about a failure (wait, report, give up) to
// the caller. Nothing is printed.
class IPM_EXPORT csp_TcpAcceptor {
public:
    // Binds `local`, whose port may be taken again at once after a restart,
    // and listens. Raises csp_NetworkException (system_call_failure) saying
    // which step failed, where and why.
    explicit csp_TcpAcceptor(const csp_SocketAddress& local, int backlog = 128);
    // One owner: a copy would close the socket under the other.
    csp_TcpAcceptor(const csp_TcpAcceptor&) = delete;
    csp_TcpAcceptor& operator=(const csp_TcpAcceptor&) = delete;
    csp_TcpAcceptor(csp_TcpAcceptor&&) noexcept = default;
    csp_TcpAcceptor& operator=(csp_TcpAcceptor&&) noexcept = default;

    int getDescriptor() const;
    // Where it listens, the port resolved when 0 was asked for.
    csp_SocketAddress localAddress() const;

    // A connection that waits or comes within `waitMilliseconds`, with its
    // peer's address; nothing when none came. The connection blocks, as the
    // library's sockets do (readAvailable and writeAvailable never wait). A
    // connection that went before it was taken is passed over. A failure that
    // lasts (out of descriptors, say) gives nothing and its words in
    // `failure`, which stays empty otherwise.
    std::optional<csp_TcpSocket> acceptConnection(csp_SocketAddress& peer, std::string& failure,
                                                  int waitMilliseconds = 0) const;

    // Takes no more connections, and wakes a thread waiting in
    // acceptConnection, which then fails. Never raises.
    void stop();

private:
    csp_Socket socket;
};
