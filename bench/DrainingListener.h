#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "csp/csp_TcpAcceptor.h"
#include "csp/csp_TcpSocket.h"

// A listener on 127.0.0.1 that accepts every connection and reads whatever
// arrives, each connection on a thread of its own, so that senders never wait
// for a full socket.
class DrainingListener {
public:
    DrainingListener();
    DrainingListener(const DrainingListener&) = delete;
    DrainingListener& operator=(const DrainingListener&) = delete;
    ~DrainingListener();

    int Port() const { return listening.localAddress().getPort(); }
    // A new client connection to this listener.
    csp_TcpSocket Connect() const;
    // Aborts every accepted connection with a reset, as a listener that dies
    // does: the sender's next write fails.
    void HangUp();

private:
    void Accept();
    void Drain(csp_TcpSocket& connection);

    csp_TcpAcceptor listening;
    std::mutex guard;
    std::vector<std::unique_ptr<csp_TcpSocket>> connections;
    std::vector<std::thread> drainers;
    std::thread acceptor;
};
