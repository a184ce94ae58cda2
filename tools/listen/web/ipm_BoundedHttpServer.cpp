#include "tools/listen/web/ipm_BoundedHttpServer.h"

#include <algorithm>

#include "csp/csp_TcpSocket.h"

namespace {

// The connection that this thread of the pool serves, for the gate.
thread_local ipm_HttpConnection* served = nullptr;

}  // namespace

ipm_BoundedHttpServer::ipm_BoundedHttpServer(HandlerWithResponse gate) {
    set_pre_routing_handler([gate = std::move(gate)](const httplib::Request& request, httplib::Response& response) {
        served->BeginBody();
        if (gate(request, response) == HandlerResponse::Unhandled) return HandlerResponse::Unhandled;
        served->EndAfterAnswer();
        return HandlerResponse::Handled;
    });
    set_payload_max_length(limits.bodyBytes);
    set_keep_alive_max_count(maxRequests);
    set_keep_alive_timeout(std::chrono::duration_cast<std::chrono::seconds>(idleTime).count());
}

int ipm_BoundedHttpServer::Bind(const std::string& address, int port) {
    const int bound = port == 0 ? bind_to_any_port(address) : (bind_to_port(address, port) ? port : -1);
    if (bound > 0) csp_TcpSocket::borrowed(svr_sock_).listen();
    return bound;
}

void ipm_BoundedHttpServer::StopServing() {
    stop();
    std::lock_guard guard(lock);
    stopping = true;
    // The connections' threads see the end of their sockets and return.
    for (ipm_HttpConnection* connection : connections) connection->End();
}

bool ipm_BoundedHttpServer::process_and_close_socket(socket_t sock) {
    ipm_HttpConnection connection(sock, limits);  // closes `sock` when it goes
    bool answered = false;
    if (Enter(connection)) {
        served = &connection;
        for (std::size_t left = maxRequests; left > 0 && Await(connection); --left) {
            bool closed = false;
            answered = process_request(connection, left == 1, closed, nullptr);
            if (!answered || closed) break;
        }
        served = nullptr;
        Leave(connection);
    }
    connection.End();
    return answered;
}

bool ipm_BoundedHttpServer::Enter(ipm_HttpConnection& connection) {
    std::lock_guard guard(lock);
    if (stopping) return false;
    connections.push_back(&connection);
    return true;
}

bool ipm_BoundedHttpServer::Await(ipm_HttpConnection& connection) {
    {
        std::lock_guard guard(lock);
        connection.SetWaiting();
        const auto waitingOfPeer = [&](const ipm_HttpConnection* other) {
            return other->Waiting() && other->Peer() == connection.Peer();
        };
        if (static_cast<std::size_t>(std::count_if(connections.begin(), connections.end(), waitingOfPeer)) >
            maxWaitingPerPeer) {
            // Its thread sees the end of its socket and leaves; it no longer counts.
            const auto oldest = std::find_if(connections.begin(), connections.end(), waitingOfPeer);
            (*oldest)->End();
            connections.erase(oldest);
        }
    }
    return connection.AwaitRequest(idleTime);
}

void ipm_BoundedHttpServer::Leave(ipm_HttpConnection& connection) {
    std::lock_guard guard(lock);
    connections.remove(&connection);
}
