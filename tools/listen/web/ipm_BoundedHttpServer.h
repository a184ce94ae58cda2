#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>

#include "tools/listen/web/ipm_HttpConnection.h"

// The HTTP library's server with every connection bounded (see
// ipm_HttpConnection), so that slow or greedy peers cannot take it over: a
// peer holds at most maxWaitingPerPeer connections that wait for or send a
// request (one more ends the oldest), a connection serves at most
// maxRequests requests, and stopping ends every connection at once.
class ipm_BoundedHttpServer : public httplib::Server {
public:
    static constexpr std::size_t maxWaitingPerPeer = 16;
    static constexpr std::size_t maxRequests = 100;
    static constexpr std::chrono::milliseconds idleTime{5000};
    static constexpr ipm_HttpConnection::Limits limits{std::chrono::milliseconds(5000),
                                                       std::chrono::milliseconds(10000), 16 * 1024, 64 * 1024};

    // `gate` sees each request once its head is read, before its body: a
    // gate that answers (Handled) refuses the request unread, and its
    // connection then ends.
    explicit ipm_BoundedHttpServer(HandlerWithResponse gate);

    // Binds to ADDR:PORT (port 0 picks a free one) and listens with the
    // system's largest backlog, so that a burst of connections is not held
    // back; the port, or -1.
    int Bind(const std::string& address, int port);

    // Stops accepting and ends every connection now.
    void StopServing();

private:
    bool process_and_close_socket(socket_t sock) override;
    // False when the server is stopping.
    bool Enter(ipm_HttpConnection& connection);
    // Marks the connection waiting for its next request, ending the oldest
    // waiting one of its peer beyond the bound, and waits for the request.
    bool Await(ipm_HttpConnection& connection);
    void Leave(ipm_HttpConnection& connection);

    std::mutex lock;
    std::list<ipm_HttpConnection*> connections;  // oldest first
    bool stopping = false;
};
